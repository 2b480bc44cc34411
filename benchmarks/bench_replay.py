"""The replay's speed and memory: frames per second on a 100,000-frame
capture, against the replay of the last revision that held the whole
capture in memory (run alongside, on the same modules, when git has it),
and the peak resident memory of `qz-host replay` on a 1,000,000-frame
capture, without and with --smooth: one of 16 tags at 10 Hz, and one of
a single tag at 50 Hz (the whole capture one tag's track).

    python benchmarks/bench_replay.py [--frames N] [--baseline REV]

Targets: at most 100 MiB without --smooth; at most 200 bytes more per fix
with it; frames per second no lower than the baseline's."""
import argparse
import io
import os
import pathlib
import subprocess
import sys
import tempfile
import time

from qz_host import cli

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from timing import print_table  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The last revision whose replay read the whole capture into memory.
BASELINE = "0b8f235"
MIB = 1 << 20


def simulated(folder, tags=16, duration=600.0, rate=10.0, name="base"):
    path = folder / f"{name}.qzcap"
    cli.main(["simulate", str(path), "--tags", str(tags), "--duration", str(duration),
              "--rate", str(rate)], out=io.StringIO())
    return path


def repeated(base, target, frames):
    """`base` played again and again, each round later by its span, up to
    `frames` frame lines (with no ground truth beside it)."""
    lines = base.read_text().splitlines()
    header = [line for line in lines if line.startswith("#")]
    body = [line.split() for line in lines if not line.startswith("#")]
    span = float(body[-1][0]) - float(body[0][0]) + 1.0
    written = 0
    with open(target, "w") as out:
        out.write("\n".join(header) + "\n")
        round_number = 0
        while written < frames:
            shift = round_number * span
            for time_text, frame in body:
                if written == frames:
                    break
                out.write(f"{float(time_text) + shift:.6f} {frame}\n")
                written += 1
            round_number += 1
    return target


# Runs qz-host and says its peak resident memory at exit: the high-water
# mark of its own address space (a child's ru_maxrss would count the
# parent's pages it was forked with).
PEAK = """
import atexit, runpy, sys
def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                sys.stderr.write(f"peak {int(line.split()[1]) * 1024}\\n")
atexit.register(peak)
sys.argv[0] = "qz-host"
runpy.run_module("qz_host", run_name="__main__", alter_sys=True)
"""


def run(path, *options, pythonpath=None):
    """(seconds, peak RSS in bytes, fixes) of one `qz-host replay`."""
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = str(pythonpath)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", PEAK, "replay", str(path), "--no-truth",
                           *options], capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"replay failed: {done.stdout}{done.stderr}")
    fixes = int(done.stdout.split("Tracks")[1].split("tags,")[1].split("fixes")[0])
    peak = int(done.stderr.rsplit("peak ", 1)[1])
    return elapsed, peak, fixes


def baseline_tree(folder, revision):
    """The host package of `revision`, unpacked into `folder`, or None."""
    try:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision, "host"],
                                 capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    subprocess.run(["tar", "-x", "-C", str(folder)], input=archive, check=True)
    return folder / "host"


def memory_rows(path, frames, what):
    """The table's rows of the peak RSS without and with --smooth."""
    _, plain, fixes = run(path)
    elapsed, smooth, _ = run(path, "--smooth")
    per_fix = (smooth - plain) / fixes
    return [(f"peak RSS, replay {frames:,} frames{what}", f"{plain / MIB:.1f} MiB", "", "",
             "met" if plain <= 100 * MIB else "MISSED (100 MiB)"),
            (f"  with --smooth ({fixes:,} fixes)", f"{smooth / MIB:.1f} MiB",
             f"{per_fix:.0f} bytes a fix more, {frames / elapsed:,.0f} frames/s", "",
             "met" if per_fix <= 200 else "MISSED (200 bytes a fix)")]


def median(values):
    return sorted(values)[len(values) // 2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--baseline", default=BASELINE)
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        base = simulated(folder)
        speed_capture = repeated(base, folder / "speed.qzcap", 100_000)
        ours = median([100_000 / run(speed_capture)[0] for _ in range(3)])
        (folder / "baseline").mkdir()
        old_host = baseline_tree(folder / "baseline", args.baseline)
        if old_host is not None:
            theirs = median([100_000 / run(speed_capture, pythonpath=old_host)[0]
                             for _ in range(3)])
            rows.append(("replay 100,000 frames", f"{ours:,.0f} frames/s",
                         f"{args.baseline}: {theirs:,.0f} frames/s", f"{ours / theirs:.2f}",
                         "met" if ours >= theirs else "MISSED (no slower)"))
        else:
            rows.append(("replay 100,000 frames", f"{ours:,.0f} frames/s",
                         f"{args.baseline} not in git", "", ""))
        big = repeated(base, folder / "big.qzcap", args.frames)
        rows += memory_rows(big, args.frames, "")
        # at 50 Hz, so that the tag's frames outnumber the anchors' as the
        # 16 tags' do: the survey's own peak would hide the history's growth
        single = simulated(folder, tags=1, rate=50.0, name="single")
        rows += memory_rows(repeated(single, folder / "single-big.qzcap", args.frames),
                            args.frames, ", one tag")
    load = os.getloadavg()[0]
    print_table(f"Replay speed and memory (medians of 3; load average {load:.1f})", rows,
                ["benchmark", "ours", "baseline", "ratio", "target"])


if __name__ == "__main__":
    main()
