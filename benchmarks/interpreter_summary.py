"""The headline ratios of the benchmarks on the running interpreter, as one
JSON object on stdout, for the per-interpreter table of make bench-all:
decoding a ranging and a raw frame against the plain-Python classes, a tag
fit against SciPy and a survey against NumPy, 8 anchors each. Each entry
holds our time, the baseline's (microseconds) and the ratio.

Run: python benchmarks/interpreter_summary.py
"""
import json
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import bench_autopos  # noqa: E402
import bench_engine  # noqa: E402
import bench_packets  # noqa: E402
from timing import paired  # noqa: E402

DECODE_REPEATS = 15
FIT_PROBLEMS = 5


def decode_entries():
    bench_packets.check_same_fields()
    ours = bench_packets.DECODERS["qz_packets"]
    plain = bench_packets.DECODERS["plain Python"]
    entries = {}
    for key, label in (
        ("decode_ranging", "ranging, 4 reports"),
        ("decode_raw", "raw, 20-byte payload"),
    ):
        data = bench_packets.FRAMES[label]
        mine, theirs, ratio = paired(lambda: ours(data), lambda: plain(data), number=5000,
                                     repeats=DECODE_REPEATS)
        entries[key] = {"ours": mine * 1e6, "baseline": theirs * 1e6, "ratio": ratio}
    return entries


def main():
    entries = {"python": platform.python_version()}
    entries.update(decode_entries())
    ours_us, scipy_us, _ = bench_engine.fit_times(8, FIT_PROBLEMS, solver=False)
    entries["fit_8"] = {"ours": ours_us, "baseline": scipy_us, "ratio": scipy_us / ours_us}
    ours_s, numpy_s, ratio = bench_autopos.bench_survey(8)
    entries["survey_8"] = {"ours": ours_s * 1e6, "baseline": numpy_s * 1e6, "ratio": ratio}
    json.dump(entries, sys.stdout)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
