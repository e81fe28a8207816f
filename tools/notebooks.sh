#!/usr/bin/env bash
# Runs every notebook under examples/ top to bottom in a fresh kernel (nbclient)
# and fails on the first cell that raises, or on a returned figure that shows
# as text instead of an image. Installs the `notebooks` extra's tools first,
# not the package itself. The notebooks on disk are left as they are (their
# outputs are not written back).
#
#   tools/notebooks.sh                       every examples/**/*.ipynb
#   tools/notebooks.sh examples/x.ipynb ...  only these
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t reqs < <(python3 - <<'EOF_PY'
import tomllib

with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["notebooks"]))
EOF_PY
)
python3 -m pip install -q --disable-pip-version-check "${reqs[@]}" 2>&1 | grep -v "^WARNING: Location" >&2 || true
python3 -c "import ecm._core" || { echo "notebooks: the ecm package must be installed (pip install .)" >&2; exit 1; }

if [ "$#" -gt 0 ]; then
    notebooks=("$@")
else
    mapfile -t notebooks < <(find examples -name '*.ipynb' -not -path '*/.ipynb_checkpoints/*' | sort)
fi
[ "${#notebooks[@]}" -gt 0 ] || { echo "notebooks: none under examples/" >&2; exit 1; }

python3 - "${notebooks[@]}" <<'EOF_PY'
import os
import sys
import time

import nbformat
from nbclient import NotebookClient
from nbclient.exceptions import CellExecutionError

failed = 0
for path in sys.argv[1:]:
    nb = nbformat.read(path, as_version=4)
    start = time.perf_counter()
    client = NotebookClient(
        nb, timeout=600, kernel_name="python3", resources={"metadata": {"path": os.path.dirname(path) or "."}}
    )
    try:
        client.execute()
    except CellExecutionError as e:
        print(f"notebooks: {path} failed:\n{e}", file=sys.stderr)
        failed += 1
        continue
    # A cell that returns a figure must show it as an image, once.
    for k, cell in enumerate(nb.cells):
        outs = [o for o in cell.get("outputs", []) if o.get("output_type") in ("execute_result", "display_data")]
        texts = [o["data"].get("text/plain", "") for o in outs]
        images = sum("image/png" in o["data"] for o in outs)
        if any(t.startswith("<Figure size") and "image/png" not in o["data"] for t, o in zip(texts, outs)):
            print(f"notebooks: {path} cell {k}: a figure shows as text, not as an image", file=sys.stderr)
            failed += 1
        elif images > 1:
            print(f"notebooks: {path} cell {k}: {images} images where the cell returns one figure", file=sys.stderr)
            failed += 1
    print(f"notebooks: {path} ran in {time.perf_counter() - start:.1f} s")
sys.exit(1 if failed else 0)
EOF_PY
