#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine with CPython and pip:
# the system libraries (Eigen, GoogleTest, a C++ compiler, CMake) and the
# package itself (ecmfit, ecmgen and the private _ecmcore) with its Python deps.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in g++ cmake libeigen3-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

python3 -m pip install -q --disable-pip-version-check ".[test]"
