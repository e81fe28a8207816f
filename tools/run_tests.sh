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

python3 -m pytest -q tests/python "$@"
