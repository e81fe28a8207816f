#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the C++ unit tests through
# ctest and the Python tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
cmake -S . -B build/ctest "${gen[@]}" -DECM_BUILD_TESTS=ON -DECM_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/ctest -j2
ctest --test-dir build/ctest --output-on-failure -j2

# The report and export tests need these; a missing one is an error here, never a silent skip.
python3 -c "import matplotlib, pybamm" || { echo "matplotlib and pybamm are needed by the tests (pip install '.[test]')" >&2; exit 1; }
python3 -m pytest -q tests/python "$@"
