"""Errors of the ecm package."""


class RecordingError(ValueError):
    """A recording cannot be used; the message names the file and what was expected."""


class CutoffError(RecordingError):
    """The recording's voltage never falls below the low cut-off."""


class UsageError(ValueError):
    """The arguments do not describe a run (no battery folder, a missing cut-off, ...)."""
