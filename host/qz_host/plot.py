"""The replay as a picture: anchors and tracks in the anchors' frame.

Uses matplotlib's object interface with the Agg canvas, so plotting neither
needs a display nor touches pyplot's global state. The file's suffix names
the format.
"""

from __future__ import annotations

import colorsys
import importlib.util
from pathlib import Path
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

from .capture import PathLike
from .evaluate import Evaluation
from .replay import Replay

if TYPE_CHECKING:
    from matplotlib.figure import Figure

Colour = Tuple[float, float, float]

# matplotlib's "tab10" qualitative scheme: ten colours told apart at a glance.
_QUALITATIVE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf")
# Beyond ten tags, hues step by the golden angle so that none repeats, and
# three lightness levels separate neighbours further; every track is also
# labelled with its tag.
_GOLDEN_TURN = 0.381966
_LIGHTNESS = (0.45, 0.3, 0.6)
# Legend entries per tag only up to this many tags; the labels remain.
_LEGEND_TAGS = 10
# The formats a suffix may name; PGF is left out as it needs LaTeX.
_EXCLUDED_FORMATS = ("pgf",)
# Metadata keys that would make every file differ (times, versions).
_QUIET_METADATA: Dict[str, Dict[str, None]] = {
    "png": {"Software": None},
    "pdf": {"Creator": None, "Producer": None, "CreationDate": None},
    "svg": {"Creator": None, "Date": None},
    "svgz": {"Creator": None, "Date": None},
    "ps": {"Creator": None},
    "eps": {"Creator": None},
}


def require_matplotlib() -> None:
    """Raises ImportError with the remedy when matplotlib is missing."""
    if importlib.util.find_spec("matplotlib") is None:
        raise ImportError("the plot needs matplotlib: pip install 'qz-rtls[demo]' "
                          "or pip install matplotlib")


def picture_format(path: PathLike) -> str:
    """The format that the suffix of `path` names; ValueError for a suffix
    that names none that the picture can be written in."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    formats = sorted(set(FigureCanvasAgg.get_supported_filetypes()) - set(_EXCLUDED_FORMATS))
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in formats:
        named = f"suffix .{suffix}" if suffix else "no suffix"
        raise ValueError(f"{path} has {named}; a picture is one of .{', .'.join(formats)}")
    return suffix


def tag_colours(count: int) -> List[Colour]:
    """`count` colours, no two alike, as RGB in 0 to 1."""
    colours = [tuple(int(h[i:i + 2], 16) / 255 for i in (1, 3, 5)) for h in _QUALITATIVE]
    for k in range(count - len(colours)):
        hue = (k * _GOLDEN_TURN) % 1.0
        colours.append(colorsys.hls_to_rgb(hue, _LIGHTNESS[k % len(_LIGHTNESS)], 0.85))
    return [(r, g, b) for r, g, b in colours[:count]]


def _darker(colour: Colour) -> Colour:
    r, g, b = colour
    return (0.5 * r, 0.5 * g, 0.5 * b)


def draw(result: Replay, evaluation: Optional[Evaluation] = None, title: str = "") -> "Figure":
    """The figure of the anchors and estimated tracks, with the true anchors
    and tracks when `evaluation` is given."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9, 6), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    tags = sorted({fix.tag for fix in result.fixes})
    legend = len(tags) <= _LEGEND_TAGS
    for tag, colour in zip(tags, tag_colours(len(tags))):
        fixes = [fix for fix in result.fixes if fix.tag == tag]
        axes.plot([f.x for f in fixes], [f.y for f in fixes], ".", color=colour, markersize=3,
                  alpha=0.7, zorder=3, label=f"tag {tag:04X} estimated" if legend else None)
        # The truth goes thin and dark on top, so the fixes cannot hide it.
        if evaluation is not None and tag in evaluation.tracks:
            track = evaluation.tracks[tag]
            axes.plot([u for _, u, _ in track], [v for _, _, v in track], "-",
                      color=_darker(colour), linewidth=0.8, zorder=4,
                      label=f"tag {tag:04X} true" if legend else None)
        axes.annotate(f"{tag:04X}", (fixes[-1].x, fixes[-1].y), textcoords="offset points",
                      xytext=(4, -10), fontsize=7, color=_darker(colour), zorder=5)
    if not legend:
        axes.plot([], [], ".", color="grey", label="estimated, labelled by tag")
        if evaluation is not None:
            axes.plot([], [], "-", color="black", linewidth=0.8, label="true")
    if evaluation is not None:
        axes.plot([p[0] for p in evaluation.anchors.values()],
                  [p[1] for p in evaluation.anchors.values()], "^", markersize=11,
                  markerfacecolor="none", markeredgecolor="black", label="anchors true")
    if result.survey is not None:
        xs = [p[0] for p in result.survey.positions]
        ys = [p[1] for p in result.survey.positions]
        kind = "known" if result.survey.known else "surveyed"
        axes.plot(xs, ys, "^", color="tab:red", markersize=6, label=f"anchors {kind}")
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
    return figure


def plot(path: PathLike, result: Replay, evaluation: Optional[Evaluation] = None,
         title: str = "") -> None:
    """Writes the picture of `draw` in the format that the suffix names."""
    kind = picture_format(path)
    figure = draw(result, evaluation, title)
    # matplotlib 3.7 (the newest for Python 3.8) refuses even metadata=None
    # for the formats that have none
    if kind in _QUIET_METADATA:
        figure.savefig(path, format=kind, metadata=_QUIET_METADATA[kind])
    else:
        figure.savefig(path, format=kind)
