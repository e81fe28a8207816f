"""matplotlib on the Agg backend, with a clear error when it is missing."""

from ecm._errors import UsageError


def pyplot():
    try:
        import matplotlib
    except ImportError:
        raise UsageError(
            "plots need matplotlib, which is not installed; install the 'report' extra: "
            "pip install 'ecmfit[report]' (or pip install matplotlib)"
        ) from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    return plt
