"""Tracking accuracy on the recorded run of examples/ (real radios, motion-
capture truth): the causal and the smoothed tracker, per-message least
squares and the per-fix bound, without calibration and calibrated on the
run's first part, all scored on its second part; then the tracker from a
cold start over the whole run, the figure the targets name.

    python benchmarks/bench_tracking_recorded.py
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import recorded_run  # noqa: E402
from timing import print_table  # noqa: E402

# Targets: cold start over the whole run, default options.
COLD_RMS = 0.075
MAX_REJECTED = 0.03


def main():
    run = recorded_run.load()
    rows = []
    for method, calibration, s in recorded_run.table(run):
        tags = " ".join(f"{v:.3f}" for v in s.tags.values()) or "-"
        rows.append((method, calibration, f"{s.rms:.4f}",
                     "-" if s.p95 != s.p95 else f"{s.p95:.3f}",
                     "-" if s.worst != s.worst else f"{s.worst:.3f}", tags))
    print_table(f"Recorded run {recorded_run.NAME}, scored from {recorded_run.SPLIT:g} s "
                "(calibration from the part before; errors in m)", rows,
                ["method", "calibration", "RMS", "p95", "max", "RMS per tag"])
    cold = recorded_run.track(run)
    plain = recorded_run.least_squares(run)
    worse = [t for t, v in cold.tags.items() if v > plain.tags[t]]
    checks = [
        ("RMS", f"{cold.rms:.4f} m", "met" if cold.rms <= COLD_RMS else f"MISSED ({COLD_RMS})"),
        (
            "rejected",
            f"{100 * cold.rejected:.2f} %",
            "met" if cold.rejected <= MAX_REJECTED else f"MISSED ({100 * MAX_REJECTED:g} %)",
        ),
        ("tags worse than least squares", str(len(worse)), "met" if not worse else "MISSED"),
    ]
    print()
    print_table("Recorded run, cold start, whole run, default options", checks,
                ["figure", "value", "target"])


if __name__ == "__main__":
    main()
