"""Instructions per decoded frame, counted by callgrind: steady where wall
clock times are not (a busy machine).

For each frame of bench_packets.py and each decoder (qz_packets, plain
Python), the same process decodes the frame `calls` times and 2 * `calls`
times under callgrind; the difference over `calls` is the cost of one
frame, with start-up and the first calls left out.

Run: python benchmarks/instructions_packets.py [calls]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from timing import print_table  # noqa: E402

DECODERS = ["qz_packets", "plain Python"]


def child(decoder, label, calls):
    import bench_packets
    decode = bench_packets.DECODERS[decoder]
    data = bench_packets.FRAMES[label]
    for _ in range(calls):
        decode(data)


def instructions(decoder, label, calls):
    """Instructions of one run of the child under callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
             sys.executable, os.path.abspath(__file__), "--child", decoder,
             label, str(calls)],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            timeout=600)
        with open(out) as f:
            totals = re.search(r"^summary:\s+(\d+)", f.read(), re.M)
        return int(totals.group(1))


def main():
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind not found")
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    import bench_packets
    rows = []
    for label in bench_packets.FRAMES:
        per_frame = {
            name: (instructions(name, label, 2 * calls)
                   - instructions(name, label, calls)) / calls
            for name in DECODERS}
        rows.append([label] + ["%.0f" % per_frame[name] for name in DECODERS]
                    + ["%.2fx" % (per_frame["plain Python"]
                                  / per_frame["qz_packets"])])
    print_table("Frame decoding, instructions per frame (callgrind), Python %s"
                % sys.version.split()[0], rows,
                ["frame"] + DECODERS + ["vs plain"])
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        sys.exit(0)
    sys.exit(main())
