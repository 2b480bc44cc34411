"""Instructions per decoded frame, counted by callgrind: qz_packets and the
plain-Python classes on the ranging and the raw frame of bench_packets.py.

Counts do not depend on the machine's load, so they show small changes that
timings on a busy machine hide. Each count is the difference between a run
that decodes FRAMES frames and one that decodes none, divided by FRAMES, so
start-up and import are left out; one run before them compiles whatever
the imports have not compiled yet. String hashing is seeded the same in every
run (PYTHONHASHSEED, 0 unless --hash-seed says otherwise), so that the counts
of two builds differ by what the builds do. Needs valgrind.

Run: python benchmarks/decode_instructions.py [--frames N] [--hash-seed S] [--out DIR]
(DIR keeps the callgrind files for callgrind_annotate.)
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FRAME_LABELS = {"ranging": "ranging, 4 reports", "raw": "raw, 20-byte payload"}
DECODERS = {"qz_packets": "qz_packets", "plain": "plain Python"}


def decode_loop(decoder, frame, count):
    """The measured program: `count` decodes of one frame."""
    sys.path.insert(0, HERE)
    import bench_packets
    decode = bench_packets.DECODERS[DECODERS[decoder]]
    data = bench_packets.FRAMES[FRAME_LABELS[frame]]
    bench_packets.check_same_fields()
    for _ in range(count):
        decode(data)


def collected(decoder, frame, count, out_dir, hash_seed):
    """Instructions that callgrind counted for one run of decode_loop."""
    out_file = os.path.join(out_dir, "%s-%s-%d.callgrind" % (decoder, frame, count))
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file,
               sys.executable, os.path.abspath(__file__), "--loop", decoder, frame, str(count)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=900,
                          env=dict(os.environ, PYTHONHASHSEED=str(hash_seed)))
    match = re.search(r"Collected : (\d+)", done.stderr)
    if done.returncode != 0 or match is None:
        raise SystemExit("callgrind run failed: %s\n%s" % (" ".join(command), done.stderr[-2000:]))
    return int(match.group(1))


def per_frame(decoder, frame, frames, out_dir, hash_seed):
    return (collected(decoder, frame, frames, out_dir, hash_seed)
            - collected(decoder, frame, 0, out_dir, hash_seed)) / frames


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--hash-seed", type=int, default=0,
                        help="PYTHONHASHSEED of the measured runs (default 0)")
    parser.add_argument("--out", help="keep the callgrind files in this directory")
    parser.add_argument("--loop", nargs=3, metavar=("DECODER", "FRAME", "COUNT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.loop:
        decoder, frame, count = args.loop
        decode_loop(decoder, frame, int(count))
        return 0
    if shutil.which("valgrind") is None:
        raise SystemExit("decode_instructions: valgrind is not installed")
    for decoder in DECODERS:  # imports compiled before anything is counted
        subprocess.run([sys.executable, os.path.abspath(__file__), "--loop", decoder, "raw", "0"],
                       check=True, timeout=300)
    out_dir = args.out or tempfile.mkdtemp(prefix="decode-instructions-")
    os.makedirs(out_dir, exist_ok=True)
    print("Python %s, instructions per frame (callgrind, %d frames, hash seed %d)" % (
        sys.version.split()[0], args.frames, args.hash_seed))
    for frame in FRAME_LABELS:
        ours = per_frame("qz_packets", frame, args.frames, out_dir, args.hash_seed)
        plain = per_frame("plain", frame, args.frames, out_dir, args.hash_seed)
        print("  %-8s qz_packets %7.0f  plain Python %7.0f  ratio %.2fx" % (
            frame, ours, plain, plain / ours))
    if not args.out:
        shutil.rmtree(out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
