"""The replay as a picture: anchors and tracks in the survey's frame.

Uses matplotlib's object interface with the Agg canvas, so plotting neither
needs a display nor touches pyplot's global state.
"""

from __future__ import annotations

import importlib.util
from typing import Optional

from .capture import PathLike
from .evaluate import Evaluation
from .replay import Replay

_COLOURS = ("tab:blue", "tab:orange", "tab:green", "tab:purple", "tab:brown", "tab:pink")


def require_matplotlib() -> None:
    """Raises ImportError with the remedy when matplotlib is missing."""
    if importlib.util.find_spec("matplotlib") is None:
        raise ImportError("the plot needs matplotlib: pip install 'qz-rtls[demo]' "
                          "or pip install matplotlib")


def plot(path: PathLike, result: Replay, evaluation: Optional[Evaluation] = None,
         title: str = "") -> None:
    """Writes a PNG of the surveyed anchors and estimated tracks, with the
    true anchors and tracks when `evaluation` is given."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9, 6), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    tags = sorted({fix.tag for fix in result.fixes})
    for k, tag in enumerate(tags):
        colour = _COLOURS[k % len(_COLOURS)]
        if evaluation is not None and tag in evaluation.tracks:
            track = evaluation.tracks[tag]
            axes.plot([u for _, u, _ in track], [v for _, _, v in track], "-", color=colour,
                      linewidth=1.0, zorder=3, label=f"tag {tag:04X} true")
        fixes = [fix for fix in result.fixes if fix.tag == tag]
        axes.plot([f.x for f in fixes], [f.y for f in fixes], ".", color=colour,
                  markersize=3, label=f"tag {tag:04X} estimated")
    if evaluation is not None:
        axes.plot([p[0] for p in evaluation.anchors.values()],
                  [p[1] for p in evaluation.anchors.values()], "^", markersize=11,
                  markerfacecolor="none", markeredgecolor="black", label="anchors true")
    if result.survey is not None:
        xs = [p[0] for p in result.survey.positions]
        ys = [p[1] for p in result.survey.positions]
        axes.plot(xs, ys, "^", color="tab:red", markersize=6, label="anchors surveyed")
        for address, x, y in zip(result.survey.addresses, xs, ys):
            axes.annotate(f"{address:04X}", (x, y), textcoords="offset points", xytext=(6, 6),
                          fontsize=8)
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_xlabel("x (m)")
    axes.set_ylabel("y (m)")
    axes.grid(True, linewidth=0.3)
    if title:
        axes.set_title(title, fontsize=10)
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    figure.tight_layout()
    figure.savefig(path, format="png", metadata={"Software": None})
