#!/usr/bin/env bash
# Installs the package on a fresh Debian machine with CPython and pip.
#
#   tools/setup.sh          the package alone (ecmfit, ecmgen, the private _ecmcore
#                           and the ecm command, with numpy, scipy, pandas and tqdm):
#                           `pip install .` needs only a C++ compiler, installed
#                           with apt-get when there is none; pip brings Eigen's
#                           headers and pybind11, and CMake and Ninja when missing
#   tools/setup.sh --tests  also what the whole test suite needs: CMake, Eigen and
#                           GoogleTest for the C++ tests (apt-get) and the `test`
#                           extra (pytest, hypothesis, PyBaMM, Dask, pyarrow,
#                           matplotlib, openpyxl)
set -euo pipefail
cd "$(dirname "$0")/.."

tests=0
case "${1:-}" in
  "") ;;
  --tests) tests=1 ;;
  *) echo "usage: tools/setup.sh [--tests]" >&2; exit 2 ;;
esac

need=()
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || need+=(g++)
if [ "$tests" -eq 1 ]; then
  for pkg in g++ cmake libeigen3-dev libgtest-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
fi
if [ ${#need[@]} -gt 0 ]; then
  mapfile -t need < <(printf '%s\n' "${need[@]}" | sort -u)
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

if [ "$tests" -eq 1 ]; then
  python3 -m pip install -q --disable-pip-version-check ".[test]"
else
  python3 -m pip install -q --disable-pip-version-check .
fi
