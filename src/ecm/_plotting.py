"""matplotlib, with a clear error when it is missing, and new figures that
live outside pyplot's figure manager.

Outside a Jupyter kernel pyplot is put on the Agg backend (no window, safe in
the report's forked workers). Inside a kernel the kernel's own backend is left
alone: importing pyplot there hooks the inline display up, so a Figure that a
cell returns is shown once, as an image. Figures from ``new_figure`` are not
registered with pyplot: nothing shows them behind the caller's back, nothing
keeps them alive and none needs closing.
"""

import sys
from typing import Any

from ecm._errors import UsageError


def _matplotlib():
    try:
        import matplotlib
    except ImportError:
        raise UsageError(
            "plots need matplotlib, which is not installed; install the 'report' extra: "
            "pip install 'ecmfit[report]' (or pip install matplotlib)"
        ) from None
    return matplotlib


def in_kernel() -> bool:
    """True when running inside a Jupyter (IPython) kernel."""
    return "ipykernel" in sys.modules


_hooked = False


def pyplot():
    global _hooked
    matplotlib = _matplotlib()
    if not in_kernel():
        matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    if in_kernel() and not _hooked:
        # pyplot loads its backend lazily; the inline backend registers the display of figures
        # with IPython only once it is loaded.
        _hooked = True
        plt.switch_backend(matplotlib.get_backend())
    return plt


def new_figure(**options: Any):
    """A new matplotlib Figure (figsize, dpi, ...), not registered with pyplot."""
    pyplot()
    from matplotlib.figure import Figure

    return Figure(**options)


def colormap(name: str):
    return _matplotlib().colormaps[name]
