#!/usr/bin/env bash
# Builds the documentation site (MkDocs) into build/site with --strict: a
# broken link, a missing page or an API name that no longer resolves fails
# the build. Installs the `docs` extra's tools first, not the package itself:
# the command reference is taken from the installed `ecm` command's parser.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t reqs < <(python3 - <<'EOF_PY'
import tomllib

with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
EOF_PY
)
python3 -m pip install -q --disable-pip-version-check "${reqs[@]}" 2>&1 | grep -v "^WARNING: Location" >&2 || true
python3 -c "import ecm" || { echo "docs: the ecm package must be installed (pip install .)" >&2; exit 1; }
python3 -m mkdocs build --strict "$@"
echo "docs: built into build/site"
