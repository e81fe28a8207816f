"""MkDocs hook: the command reference page gets the text of `ecm --help` and of
every command's `--help`, taken from the installed command's own parser, so
the page cannot drift from what the command prints."""

from __future__ import annotations

import argparse
import os
from typing import Any, List, Tuple

MARKER = "<!-- ecm --help -->"
WIDTH = "100"  # argparse wraps to $COLUMNS


def command_help() -> List[Tuple[str, str]]:
    """(title, help text) for `ecm` and each of its commands, in the parser's order."""
    from ecm.cli import build_parser

    old = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = WIDTH
    try:
        parser = build_parser()
        out = [("ecm", parser.format_help())]
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for name, sub in action.choices.items():
                    out.append((f"ecm {name}", sub.format_help()))
        return out
    finally:
        if old is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = old


def render() -> str:
    parts = []
    for title, text in command_help():
        parts.append(f"## `{title}`\n\n```text\n{text.rstrip()}\n```\n")
    return "\n".join(parts)


def on_page_markdown(markdown: str, page: Any, **kwargs: Any) -> str:
    if MARKER in markdown:
        return markdown.replace(MARKER, render())
    return markdown
