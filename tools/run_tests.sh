#!/usr/bin/env bash
# Installs the package with its test extra and the C++ test tools, then runs
# the whole test suite: the C++ unit tests through ctest and the Python tests
# through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh --tests

# The C++ unit tests, built as the package is (CMakePresets.json: release).
command -v ninja >/dev/null 2>&1 && export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release

# The report and export tests need these; a missing one is an error here, never a silent skip.
python3 -c "import matplotlib, pybamm" || { echo "matplotlib and pybamm are needed by the tests (pip install '.[test]')" >&2; exit 1; }
python3 -m pytest -q tests/python "$@"
