#!/usr/bin/env bash
# Sets everything up and runs the extraction on the bundled sample cell:
# examples/sample_cell/results/ receives the per-temperature files and battery_model.json.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cd examples
python3 -c "import ecmfit"
echo
echo "Model written to examples/sample_cell/results/battery_model.json"
