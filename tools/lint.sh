#!/usr/bin/env bash
# The house rules, checked: C++ formatting (clang-format), Python formatting
# and lint (ruff) and the types of the `ecm` package (mypy). Installs the
# pinned tools first (the `lint` extra). Exits non-zero on the first file
# that breaks a rule.
#
#   tools/lint.sh          check (what .ci/run does)
#   tools/lint.sh --fix    format every file and apply ruff's safe fixes
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install -q --disable-pip-version-check "clang-format==23.1.5" "ruff==0.17.6" "mypy==2.4.1" 2>&1 | grep -v "^WARNING: Location" >&2 || true

mapfile -t cpp < <(git ls-files '*.cpp' '*.hpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${cpp[@]}"
    ruff format .
    ruff check --fix .
    exit 0
fi
clang-format --dry-run -Werror "${cpp[@]}"
echo "lint: clang-format: ${#cpp[@]} C++ files formatted"
ruff format --check .
ruff check .
mypy
echo "lint: ok"
