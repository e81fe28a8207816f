"""Errors of the ecm package."""

import contextlib
from typing import Iterator


class RecordingError(ValueError):
    """A recording cannot be used; the message names the file and what was expected."""


class CutoffError(RecordingError):
    """The recording's voltage never falls below the low cut-off."""


class UsageError(ValueError):
    """The arguments do not describe a run (no battery folder, a missing cut-off, ...)."""


@contextlib.contextmanager
def reading(path: str) -> Iterator[None]:
    """Reading the recording `path`: what the readers raise becomes a RecordingError that names it
    (a KeyError's message is already the whole text)."""
    try:
        yield
    except KeyError as e:
        raise RecordingError(e.args[0] if e.args else str(e)) from None
    except (RecordingError, UsageError):
        raise
    except (ValueError, OSError, UnicodeError) as e:
        msg = str(e)
        raise RecordingError(msg if path in msg else f"{path}: {msg}") from None
