#!/usr/bin/env python3
"""House metrics of a source tree, as a Markdown report on stdout.

    python house_metrics.py ROOT [--threshold 150] [--json FILE] [--dup-seconds N]

Needs `lizard` importable (pip install lizard) and the `duplicates` command on
PATH. Reports:

1. lines of C++ (.cpp/.hpp, also .h/.hh/.cc/.cxx if any) and Python (.py) per
   top-level folder; folders under tests/ or benchmarks/ (at any depth) are
   listed separately and kept out of the product subtotal;
2. every function longer than THRESHOLD lines (lizard's `length`: first to
   last line of the function, comments and blank lines included), C++ and Python;
3. the number of duplicated stretches from `duplicates --repo ROOT --most 200`
   (the count on its first line).

Files: in a git checkout, the tracked files plus untracked files git does not
ignore (the same set `duplicates` reads); elsewhere every file below ROOT,
skipping build*/, .git, __pycache__, venvs and *.egg-info.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
from collections import defaultdict

try:
    import lizard
except ImportError:  # pragma: no cover
    sys.exit("house_metrics: needs lizard (pip install lizard)")

CPP_EXT = {".cpp", ".hpp", ".h", ".hh", ".cc", ".cxx"}
PY_EXT = {".py"}
LAYERED = ("core", "python")  # folders listed by their sub-folders (the layers)
SEPARATE = ("tests", "benchmarks")  # folder names listed apart from the product
SKIP_DIRS = {".git", "__pycache__", ".venv", "venv", ".mypy_cache", ".pytest_cache", ".ruff_cache", ".hypothesis"}


def list_files(root: str) -> list[str]:
    """Relative paths of the files to measure."""
    try:
        out = subprocess.run(
            ["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard", "--", "."],
            capture_output=True,
            check=True,
        ).stdout.decode()
        files = sorted({f for f in out.split("\0") if f})
        # ls-files is relative to ROOT when ROOT is inside the checkout
        return [f for f in files if os.path.isfile(os.path.join(root, f))]
    except (subprocess.CalledProcessError, FileNotFoundError):
        pass
    files = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(
            d for d in dirnames if d not in SKIP_DIRS and not d.startswith("build") and not d.endswith(".egg-info")
        )
        for name in filenames:
            files.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(files)


def language(path: str) -> str | None:
    ext = os.path.splitext(path)[1].lower()
    if ext in CPP_EXT:
        return "cpp"
    if ext in PY_EXT:
        return "py"
    return None


def group_of(path: str) -> tuple[str, str]:
    """(row label, kind) with kind 'product', 'tests' or 'benchmarks'."""
    parts = path.split("/")
    top = parts[0] if len(parts) > 1 else "(root files)"
    for i, p in enumerate(parts[:-1]):
        if p in SEPARATE:
            label = "/".join(parts[: i + 1]) + "/"
            return label, p
    if top in LAYERED and len(parts) > 2:  # the layers: core/base, core/numeric, python/ecm, ...
        return f"{top}/{parts[1]}/", "product"
    return (top + "/" if len(parts) > 1 else top), "product"


def physical_lines(path: str) -> int:
    with open(path, "rb") as f:
        data = f.read()
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def run_duplicates(root: str, seconds: int | None) -> dict:
    cmd = ["duplicates", "--repo", root, "--most", "200"]
    if seconds:
        cmd += ["--seconds", str(seconds)]
    try:
        res = subprocess.run(cmd, capture_output=True, text=True, check=False)
    except FileNotFoundError:
        return {"command": " ".join(cmd), "count": None, "first_line": "duplicates: not on PATH", "notes": []}
    lines = res.stdout.splitlines()
    first = lines[0] if lines else "(no output) " + res.stderr.strip()
    m = re.match(r"\s*(\d+)\s+pairs?\b", first)
    count = int(m.group(1)) if m else (0 if first.lower().startswith("no duplicates") else None)
    notes = [ln for ln in lines if ln.startswith(("incomplete:", "left out:"))]
    rows = [ln for ln in lines if re.match(r"D\d+ ", ln)]
    return {"command": " ".join(cmd), "count": count, "first_line": first, "notes": notes, "rows": rows}


def measure(root: str, threshold: int, dup_seconds: int | None) -> dict:
    root = os.path.abspath(root)
    rows: dict[tuple[str, str], dict] = defaultdict(
        lambda: {"cpp_files": 0, "cpp_lines": 0, "cpp_nloc": 0, "py_files": 0, "py_lines": 0, "py_nloc": 0}
    )
    long_funcs = []
    nfunc = 0
    for rel in list_files(root):
        lang = language(rel)
        if lang is None:
            continue
        path = os.path.join(root, rel)
        label, kind = group_of(rel)
        info = lizard.analyze_file(path)
        r = rows[(label, kind)]
        r[f"{lang}_files"] += 1
        r[f"{lang}_lines"] += physical_lines(path)
        r[f"{lang}_nloc"] += info.nloc
        for fn in info.function_list:
            nfunc += 1
            if fn.length > threshold:
                long_funcs.append(
                    {
                        "file": rel,
                        "name": fn.name,
                        "start": fn.start_line,
                        "end": fn.end_line,
                        "length": fn.length,
                        "nloc": fn.nloc,
                        "ccn": fn.cyclomatic_complexity,
                        "kind": kind,
                    }
                )
    long_funcs.sort(key=lambda f: (-f["length"], f["file"], f["start"]))
    table = [dict(folder=label, kind=kind, **vals) for (label, kind), vals in rows.items()]
    order = {"product": 0, "tests": 1, "benchmarks": 2}
    table.sort(key=lambda r: (order[r["kind"]], r["folder"]))
    return {
        "root": root,
        "threshold": threshold,
        "folders": table,
        "functions_total": nfunc,
        "long_functions": long_funcs,
        "duplicates": run_duplicates(root, dup_seconds),
    }


def _sum(rows: list[dict]) -> dict:
    keys = ["cpp_files", "cpp_lines", "cpp_nloc", "py_files", "py_lines", "py_nloc"]
    return {k: sum(r[k] for r in rows) for k in keys}


def markdown(m: dict) -> str:
    out = [f"## House metrics of `{m['root']}`", ""]
    out += [
        "Lines per top-level folder. *lines*: physical lines; *NLOC*: lines of code without blank and"
        " comment lines (lizard). C++ = .cpp/.hpp (and .h/.hh/.cc/.cxx if any); Python = .py.",
        "",
        "| folder | C++ files | C++ lines | C++ NLOC | Py files | Py lines | Py NLOC | NLOC total |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]

    def row(name: str, r: dict, bold: bool = False) -> str:
        cells = [
            r["cpp_files"],
            r["cpp_lines"],
            r["cpp_nloc"],
            r["py_files"],
            r["py_lines"],
            r["py_nloc"],
            r["cpp_nloc"] + r["py_nloc"],
        ]
        txt = [f"{c:,}" for c in cells]
        if bold:
            name, txt = f"**{name}**", [f"**{t}**" for t in txt]
        return "| " + " | ".join([name] + txt) + " |"

    prod = [r for r in m["folders"] if r["kind"] == "product"]
    other = [r for r in m["folders"] if r["kind"] != "product"]
    for r in prod:
        out.append(row(f"`{r['folder']}`", r))
    out.append(row("product subtotal", _sum(prod), bold=True))
    for kind in SEPARATE:
        rs = [r for r in other if r["kind"] == kind]
        for r in rs:
            out.append(row(f"`{r['folder']}` ({kind})", r))
        if len(rs) > 1:
            out.append(row(f"{kind} subtotal", _sum(rs), bold=True))
    out.append(row("all", _sum(m["folders"]), bold=True))
    out.append("")

    lf = m["long_functions"]
    out.append(f"### Functions longer than {m['threshold']} lines: {len(lf)} (of {m['functions_total']:,} functions)")
    out.append("")
    if lf:
        out += ["| file | function | lines | length | NLOC | CCN |", "|---|---|---|---:|---:|---:|"]
        for f in lf:
            tag = "" if f["kind"] == "product" else f" ({f['kind']})"
            out.append(
                f"| `{f['file']}`{tag} | `{f['name']}` | {f['start']}-{f['end']} | {f['length']} | "
                f"{f['nloc']} | {f['ccn']} |"
            )
        out.append("")
        counts = defaultdict(int)
        for f in lf:
            counts[f["kind"]] += 1
        out.append("By kind: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    else:
        out.append("None.")
    out.append("")

    d = m["duplicates"]
    out.append(f"### Duplicated stretches: **{d['count']}**")
    out.append("")
    out.append(f"`{d['command']}` → first line: `{d['first_line']}`")
    for n in d.get("notes", []):
        out.append(f"- {n}")
    out.append("")
    return "\n".join(out)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("root")
    ap.add_argument("--threshold", type=int, default=150, help="report functions longer than this (default 150)")
    ap.add_argument("--json", metavar="FILE", help="also write the raw numbers as JSON")
    ap.add_argument(
        "--dup-seconds", type=int, default=None, help="pass --seconds N to duplicates (default: its own default)"
    )
    ap.add_argument("--dup-rows", action="store_true", help="append the duplicates rows to the report")
    a = ap.parse_args(argv)
    if not os.path.isdir(a.root):
        ap.error(f"not a folder: {a.root}")
    m = measure(a.root, a.threshold, a.dup_seconds)
    text = markdown(m)
    if a.dup_rows and m["duplicates"].get("rows"):
        text += (
            "\n<details><summary>duplicates rows</summary>\n\n```\n"
            + "\n".join(m["duplicates"]["rows"])
            + "\n```\n</details>\n"
        )
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(m, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
