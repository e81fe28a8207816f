#!/usr/bin/env bash
# Installs the package (the base install: a C++ compiler is all it needs from
# the system) and runs the extraction on the bundled example cell:
# examples/hppc_cell/results/ receives the per-temperature files and battery_model.json.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
# examples/hppc_cell/input_params.json holds its cut-offs and model
if command -v ecm >/dev/null 2>&1; then
  ecm fit examples/hppc_cell
else
  python3 -m ecm fit examples/hppc_cell
fi
echo
echo "Model written to examples/hppc_cell/results/battery_model.json"
