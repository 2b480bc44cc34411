"""Runs every benchmark in turn (make bench)."""
import pathlib
import shutil
import subprocess
import sys

BENCHMARKS = ["bench_engine.py", "bench_autopos.py", "bench_packets.py", "bench_tracking_speed.py",
              "bench_tracking_accuracy.py", "bench_tracking_recorded.py", "bench_web.py",
              "bench_live.py"]


def main():
    here = pathlib.Path(__file__).parent
    names = list(BENCHMARKS)
    # decoding's instruction counts, which a busy machine does not disturb
    if shutil.which("valgrind"):
        names.append("decode_instructions.py")
    else:
        print("decode_instructions.py left out: valgrind is not installed")
    failed = [name for name in names
              if subprocess.run([sys.executable, str(here / name)]).returncode != 0]
    if failed:
        sys.exit(f"benchmarks failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
