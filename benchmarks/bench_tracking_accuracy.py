"""Tracking accuracy against the Cramer-Rao bound of the same fixes.

Each scenario is simulated afresh for every seed and replayed; the causal
filter's fixes and the smoothed ones are scored against the ground truth.
Per fix the bound's covariance is sigma_eff^2 (H^T H)^-1, the rows of H the
planar unit vectors from each anchor measured in that message to the TRUE
tag position and sigma_eff^2 = sigma^2 + unit^2/12 (the rounding to the
distance unit); the bound's RMS is the root of the mean of its traces.

    python benchmarks/bench_tracking_accuracy.py [--seeds 1 2 3] [--option NAME=VALUE ...]
"""
import argparse
import math
import pathlib
import sys
from dataclasses import replace

import numpy as np

from qz_host import capture
from qz_host.evaluate import evaluate
from qz_host.replay import FrameCounts, read_messages, replay
from qz_host.simulate import Scenario, simulate, wall_anchors

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from timing import print_table  # noqa: E402

DEFAULTS = Scenario()
SCENARIOS = [
    ("demo defaults", {}),
    ("sigma 0.02", {"sigma": 0.02}),
    ("sigma 0.05", {"sigma": 0.05}),
    ("sigma 0.15", {"sigma": 0.15}),
    ("nlos 0", {"nlos": 0.0}),
    ("nlos 0.02", {"nlos": 0.02}),
    ("nlos 0.10", {"nlos": 0.10}),
    ("4 anchors", {"anchors": wall_anchors(4)}),
    ("6 anchors", {"anchors": wall_anchors(6)}),
    ("8 anchors", {"anchors": wall_anchors(8)}),
]
# Targets: (causal RMS / bound, smoothed RMS / bound, causal share over
# 0.3 m, smoothed share over 0.3 m); None where none is set.
TARGETS = {
    "demo defaults": (0.9, 0.6, 0.0, 0.0),
    "nlos 0.10": (0.9, 0.6, 0.005, 0.0),
    "sigma 0.02": (1.1, 0.6, None, 0.0),
    "4 anchors": (1.5, 0.6, None, None),
}
FAR = 0.3


def lines_of(sim):
    lines = [f"# {key}: {value}" for key, value in sim.metadata.items()]
    return lines + [capture.format_line(t, f) for t, f in sim.frames]


def bound_traces(sim, lines, fixes):
    """Per fix, the trace of its bound's covariance (None without one)."""
    s = sim.scenario
    variance = s.sigma ** 2 + s.unit ** 2 / 12
    measured = {(m.src, round(m.time, 6)): {peer for peer, _ in m.reports}
                for m in read_messages(lines, FrameCounts(), check_fcs=False) if not m.is_anchor}
    truth = {(tag, round(t, 6)): (x, y) for t, tag, x, y in sim.tracks}
    traces = []
    for fix in fixes:
        key = (fix.tag, round(fix.time, 6))
        where = truth[key]
        rows = [(where[0] - sim.anchors[a][0], where[1] - sim.anchors[a][1])
                for a in measured[key] if a in sim.anchors]
        h = np.array(rows, dtype=float)
        h /= np.sqrt((h ** 2).sum(axis=1))[:, None]
        info = h.T @ h
        if len(rows) < 2 or np.linalg.cond(info) > 1e8:
            traces.append(None)
        else:
            traces.append(variance * np.trace(np.linalg.inv(info)))
    return traces


def score(sim, lines, result, fixes, traces):
    scored = replace(result, fixes=fixes)
    evaluation = evaluate(scored, sim.anchors, _tracks(sim))
    pairs = [(e, t) for e, t in zip(evaluation.fix_errors, traces) if e is not None and t is not None]
    return [e for e, _ in pairs], [t for _, t in pairs]


def _tracks(sim):
    tracks = {}
    for t, tag, x, y in sim.tracks:
        tracks.setdefault(tag, []).append((t, x, y))
    return tracks


def run_scenario(changes, seeds, options):
    pooled = {"causal": ([], []), "smoothed": ([], [])}
    messages = fixes = 0
    for seed in seeds:
        sim = simulate(replace(DEFAULTS, seed=seed, **changes))
        lines = lines_of(sim)
        result = replay(lines, smooth=True, **options)
        if result.survey is None or result.layout_error:
            raise SystemExit(f"seed {seed}: {result.survey_error or result.layout_error}")
        messages += sum(t.messages for t in result.tags.values())
        fixes += len(result.fixes)
        traces = bound_traces(sim, lines, result.filtered)
        for name, chosen in (("causal", result.filtered), ("smoothed", result.fixes)):
            errors, bounds = score(sim, lines, result, chosen, traces)
            pooled[name][0].extend(errors)
            pooled[name][1].extend(bounds)
    out = {}
    for name, (errors, bounds) in pooled.items():
        e = np.array(errors)
        rms = math.sqrt(np.mean(e ** 2))
        bound = math.sqrt(np.mean(bounds))
        out[name] = (rms, float(np.percentile(e, 95)), float(e.max()),
                     float(np.mean(e > FAR)), bound)
    return out, messages, fixes


def verdict(value, target):
    if target is None:
        return ""
    return "met" if value <= target else f"MISSED ({target:g})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--only", nargs="+", help="scenario names to run")
    parser.add_argument("--option", action="append", default=[],
                        help="tracker option NAME=VALUE (for tuning)")
    args = parser.parse_args()
    options = {k: float(v) for k, v in (o.split("=", 1) for o in args.option)}
    rows = []
    missed = 0
    for name, changes in SCENARIOS:
        if args.only and name not in args.only:
            continue
        out, messages, fixes = run_scenario(changes, args.seeds, options)
        targets = TARGETS.get(name, (None, 0.6, None, None))
        if "anchors" in changes and len(changes["anchors"]) < 6:
            targets = targets[:3] + (None,)
        for kind, (rms, p95, worst, far, bound), ratio_target, far_target in (
                ("causal",) + (out["causal"],) + (targets[0], targets[2]),
                ("smoothed",) + (out["smoothed"],) + (targets[1], targets[3])):
            checks = [verdict(rms / bound, ratio_target), verdict(far, far_target)]
            missed += sum("MISSED" in c for c in checks)
            rows.append((name, kind, f"{fixes}/{messages}", f"{rms:.4f}", f"{p95:.4f}",
                         f"{worst:.3f}", f"{100 * far:.2f} %", f"{bound:.4f}",
                         f"{rms / bound:.2f}", " ".join(filter(None, checks)) or "-"))
    seeds = " ".join(map(str, args.seeds))
    print_table(f"Tracking accuracy, seeds {seeds} pooled (surveyed anchors; errors in m)", rows,
                ["scenario", "fixes", "fixes/msgs", "RMS", "p95", "max", f"> {FAR} m",
                 "bound", "RMS/bound", "targets"])
    print(f"\n{missed} target(s) missed" if missed else "\nevery target met")


if __name__ == "__main__":
    main()
