"""Small HTML tables for the rich display of results in Jupyter
(``_repr_html_``) and for the report: every text escaped, numbers to four
significant digits, text columns aligned left."""

from __future__ import annotations

import html
import math
from typing import Any, Iterable, List, Optional, Sequence

import numpy as np

_LEFT = ' style="text-align:left"'


def esc(x: Any) -> str:
    return html.escape(str(x))


def fmt(x: Optional[float]) -> str:
    """A number to four significant digits; a dash for a missing or non-finite one."""
    if x is None:
        return "–"
    x = float(x)
    if not math.isfinite(x):
        return "–"
    return f"{x:.4g}"


def cell(v: Any) -> str:
    """A table value as escaped text: yes/no, whole numbers, four significant digits or text."""
    if isinstance(v, str):
        return esc(v)
    if isinstance(v, (bool, np.bool_)):
        return "yes" if v else "no"
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    if v is None:
        return "–"
    try:
        return fmt(float(v))
    except (TypeError, ValueError):
        return esc(v)


def table(head: Sequence[str], rows: Iterable[Sequence[str]], left: Sequence[int] = ()) -> str:
    """A table of escaped headings ``head`` and ready cells ``rows`` (already
    escaped: use ``cell``); the columns at the indices ``left`` align left."""
    lefts = set(left)
    th = "".join(f"<th{_LEFT if k in lefts else ''}>{esc(h)}</th>" for k, h in enumerate(head))
    body: List[str] = []
    for row in rows:
        body.append("<tr>" + "".join(f"<td{_LEFT if k in lefts else ''}>{c}</td>" for k, c in enumerate(row)) + "</tr>")
    return f"<table><thead><tr>{th}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def items(title: str, lines: Sequence[str], limit: int, more: str) -> str:
    """A titled list of at most ``limit`` escaped lines, and how many more there are."""
    if not lines:
        return ""
    shown = "".join(f"<li>{esc(w)}</li>" for w in lines[:limit])
    rest = f"<li><i>and {len(lines) - limit} more: {esc(more)}</i></li>" if len(lines) > limit else ""
    return f"<p><b>{esc(title)}</b></p><ul>{shown}{rest}</ul>"
