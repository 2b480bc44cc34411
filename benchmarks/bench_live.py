"""Live throughput, latency and memory of qz-host live over UDP loopback.

Frames: a simulated hall with 2,000 tags ranging at 10 Hz (20,000 frames a
second of radio time), each frame sent once: the host drops a frame sent
twice as a duplicate. The anchors are given.

  - throughput: frames sent at a fixed rate for a few seconds into
    `qz-host live udp://...` writing JSON lines; a rate is kept up with
    when every frame is received and every fix is written within a second
    of the last frame. The baseline is the same pipeline fed the frames
    from a list in one process;
  - latency: frames sent at 1,000 per second (1,000 tags) into live writing
    JSON lines to a pipe read here, then into live publishing to a
    Mosquitto broker started here with a subscriber in this process: the
    time from each frame's send to its fix's arrival (median, p99);
  - memory: the live process's resident set during the MQTT latency run
    (--soak SECONDS makes that run longer, e.g. 600 for ten minutes).

Run: python benchmarks/bench_live.py [--soak SECONDS]
"""

import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from qz_host import frames as layout, messages, sinks  # noqa: E402
from qz_host.pipeline import Pipeline  # noqa: E402
from qz_host.simulate import Scenario, simulate  # noqa: E402
from timing import print_table  # noqa: E402

TAGS = 2000
LATENCY_TAGS = 1000
RATES = [5000, 10000, 15000, 20000, 30000]
SECONDS_PER_RATE = 3.0
KEEP_UP = 1.0  # seconds after the last frame by which every fix must be out
LATENCY_RATE = 1000
LATENCY_SECONDS = 15.0
LIVE = [sys.executable, "-m", "qz_host", "live"]
SRC = layout.SRC_ADDR_OFFSET


def scenario_frames(tags, count):
    """The anchors and at least `count` tag frames of `tags` tags, in order."""
    duration = count / (10.0 * tags) + 0.5
    sim = simulate(Scenario(tags=tuple(range(0x2000, 0x2000 + tags)), duration=duration,
                            rate=10.0, seed=3, survey_rounds=0))
    tag_frames = []
    for time_, frame in sim.frames:
        try:
            message = messages.decode(time_, frame)
        except messages.Skip:
            continue
        if message is not None and not message.is_anchor and len(message.reports) >= 3:
            tag_frames.append(frame)
    return sim.anchors, tag_frames


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def bound(port):
    """Whether a UDP socket is bound to `port` (asked of the kernel)."""
    table = Path("/proc/net/udp")
    if not table.exists():
        time.sleep(1.0)
        return True
    return any(line.split()[1].endswith(f":{port:04X}")
               for line in table.read_text().splitlines()[1:])


def wait(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def send_paced(frames, rate, seconds, port, on_send=None):
    """Sends `rate` frames a second for `seconds`, in 1 ms batches."""
    total = int(rate * seconds)
    address = ("127.0.0.1", port)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        started = time.perf_counter()
        sent = 0
        while sent < total:
            due = min(total, int((time.perf_counter() - started) * rate) + 1)
            while sent < due:
                frame = frames[sent % len(frames)]
                if on_send is not None:
                    on_send(sent, frame)
                sock.sendto(frame, address)
                sent += 1
            time.sleep(0.0005)
    return sent


def start_live(port, anchors_path, *extra):
    process = subprocess.Popen(LIVE + [f"udp://127.0.0.1:{port}", "--anchors", str(anchors_path),
                                       *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    if not wait(lambda: bound(port)):
        process.kill()
        raise RuntimeError(f"live did not start: {process.communicate()[1]}")
    return process


def stop_live(process):
    process.send_signal(signal.SIGTERM)
    stdout, stderr = process.communicate(timeout=60)
    return stdout + stderr


def received(summary):
    for line in summary.splitlines():
        if line.startswith("Frames"):
            return int(line.split()[1])
    raise RuntimeError(f"no summary: {summary}")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Baseline:
    """The same pipeline fed from a list in this process: its rate."""

    def __init__(self, anchors, frames):
        self.anchors = anchors
        self.frames = frames
        self.rate = statistics.median(self._run(20000)[0] for _ in range(3))

    def _run(self, count):
        pipeline = Pipeline([sinks.JsonLinesSink(open(os.devnull, "w"), owned=True)],
                            anchors=self.anchors)
        started = time.perf_counter()
        for k in range(count):
            pipeline.feed_frame(k * 1e-4, self.frames[k % len(self.frames)])
        elapsed = time.perf_counter() - started
        pipeline.close()
        return count / elapsed, sum(pipeline.counters.fixes.values())


def line_count(path):
    with open(path) as lines:
        return sum(1 for _ in lines)


def throughput(anchors_path, frames):
    """The highest rate at which every fix is out within KEEP_UP seconds of
    the last frame sent, and the table of the rates tried."""
    best = None
    rows = []
    for rate in RATES:
        port = free_port(socket.SOCK_DGRAM)
        with tempfile.NamedTemporaryFile(suffix=".jsonl") as out:
            process = start_live(port, anchors_path, "--jsonl", out.name)
            sent = send_paced(frames, rate, SECONDS_PER_RATE, port)
            time.sleep(KEEP_UP)
            written = line_count(out.name)
            got = received(stop_live(process))
            expected = line_count(out.name)  # every fix, once live has stopped
        rows.append((rate, sent, got, written, expected))
        if got == sent and written == expected:
            best = rate
        else:
            break
    return best, rows


class Broker:
    def __init__(self, directory):
        self.port = free_port(socket.SOCK_STREAM)
        config = Path(directory) / "mosquitto.conf"
        config.write_text(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                          f"max_queued_messages 0\n")
        binary = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.process = subprocess.Popen([binary, "-c", str(config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return True
            except OSError:
                return False
        if not wait(accepts):
            raise RuntimeError("mosquitto did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def percentiles(delays):
    delays = sorted(delays)
    return (statistics.median(delays), delays[min(len(delays) - 1, int(0.99 * len(delays)))],
            delays[-1])


def broker_round_trip(port, seconds):
    """The baseline: messages of the fixes' size published from here at the
    same rate, through the same broker, to a subscriber here."""
    import paho.mqtt.client as mqtt

    delays = []
    subscribed = threading.Event()
    subscriber = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
    subscriber.on_message = lambda c, u, m: delays.append(
        time.perf_counter() - float(m.payload.split(b" ")[0]))
    subscriber.on_subscribe = lambda *_: subscribed.set()
    subscriber.connect("127.0.0.1", port)
    subscriber.subscribe("baseline", qos=1)
    subscriber.loop_start()
    subscribed.wait(10)
    publisher = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
    publisher.connect("127.0.0.1", port)
    publisher.loop_start()
    padding = b" " + b"x" * 200
    count = int(LATENCY_RATE * seconds)
    started = time.perf_counter()
    for k in range(count):
        delay = started + k / LATENCY_RATE - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        publisher.publish("baseline", repr(time.perf_counter()).encode() + padding, qos=1)
    time.sleep(1.0)
    for client in (publisher, subscriber):
        client.loop_stop()
        client.disconnect()
    return delays


def matched_delays(sends, arrivals):
    """Each fix's arrival less its frame's send, paired in order per tag."""
    delays = []
    for tag, times in sends.items():
        for sent_at, arrived_at in zip(times, arrivals.get(tag, [])):
            delays.append(arrived_at - sent_at)
    return sorted(delays)


def json_latency(anchors_path, frames, seconds):
    """Frame sent to its JSON line read from live's standard output."""
    port = free_port(socket.SOCK_DGRAM)
    process = start_live(port, anchors_path, "--jsonl", "-")
    arrivals, sends = {}, {}

    def read():
        for line in process.stdout:
            now = time.perf_counter()
            if line.startswith("{"):
                tag = json.loads(line).get("tag")
                arrivals.setdefault(tag, []).append(now)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()

    def on_send(_, frame):
        tag = f"{int.from_bytes(frame[SRC:SRC + 2], 'little'):04X}"
        sends.setdefault(tag, []).append(time.perf_counter())
    sent = send_paced(frames, LATENCY_RATE, seconds, port, on_send)
    time.sleep(1.0)
    process.send_signal(signal.SIGTERM)
    reader.join(60)
    process.wait(60)
    process.stderr.close()
    return sent, sum(len(v) for v in arrivals.values()), matched_delays(sends, arrivals)


def latency(anchors_path, frames, seconds):
    import paho.mqtt.client as mqtt

    with tempfile.TemporaryDirectory() as directory:
        broker = Broker(directory)
        arrivals = {}
        sends = {}
        lock = threading.Lock()

        def on_message(client, userdata, message):
            now = time.perf_counter()
            tag = message.topic.split("/")[2]
            with lock:
                arrivals.setdefault(tag, []).append(now)

        subscribed = threading.Event()
        subscriber = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
        subscriber.on_message = on_message
        subscriber.on_subscribe = lambda *_: subscribed.set()
        subscriber.connect("127.0.0.1", broker.port)
        subscriber.subscribe("qz/tag/+/position", qos=1)
        subscriber.loop_start()
        subscribed.wait(10)
        port = free_port(socket.SOCK_DGRAM)
        process = start_live(port, anchors_path, "--mqtt", f"127.0.0.1:{broker.port}")

        def on_send(_, frame):
            tag = f"{int.from_bytes(frame[SRC:SRC + 2], 'little'):04X}"
            sends.setdefault(tag, []).append(time.perf_counter())

        rss = []
        sampler_stop = threading.Event()

        def sample():
            while not sampler_stop.wait(1.0):
                rss.append(rss_kib(process.pid))
        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        sent = send_paced(frames, LATENCY_RATE, seconds, port, on_send)
        time.sleep(1.0)
        sampler_stop.set()
        sampler.join()
        summary = stop_live(process)
        subscriber.loop_stop()
        subscriber.disconnect()
        baseline = broker_round_trip(broker.port, min(seconds, LATENCY_SECONDS))
        broker.stop()
    delays = matched_delays(sends, arrivals)
    got = sum(len(v) for v in arrivals.values())
    return sent, got, delays, rss, summary, baseline


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--soak", type=float, default=LATENCY_SECONDS,
                        help=f"seconds of the latency and memory run (default {LATENCY_SECONDS:g})")
    args = parser.parse_args()
    anchors, frames = scenario_frames(TAGS, int(max(RATES) * SECONDS_PER_RATE))
    with tempfile.TemporaryDirectory() as directory:
        anchors_path = Path(directory) / "anchors.csv"
        sinks.write_anchors(anchors_path, anchors)
        baseline = Baseline(anchors, frames)
        base = baseline.rate
        best, rows = throughput(anchors_path, frames)
        print_table(f"Live throughput over UDP loopback, {SECONDS_PER_RATE:g} s per rate "
                    f"(fixes written within {KEEP_UP:g} s of the last frame)",
                    [(f"{r:,}", f"{s:,}", f"{g:,}", f"{w:,} of {e:,}") for r, s, g, w, e in rows],
                    ["rate (frames/s)", "sent", "received", "fixes out within 1 s, of all"])
        print(f"highest rate kept up with, no frame lost: {best or 0:,} frames/s; "
              f"the same pipeline "
              f"fed from a list: {base:,.0f} frames/s (ratio {(best or 0) / base:.2f})")
        if shutil.which("mosquitto") is None and not Path("/usr/sbin/mosquitto").exists():
            print("latency: skipped, mosquitto is not installed")
            return
        try:
            import paho.mqtt.client  # noqa: F401
        except ImportError:
            print("latency: skipped, paho-mqtt is not installed")
            return
        _, slow_frames = scenario_frames(LATENCY_TAGS, int(LATENCY_RATE * args.soak))
        json_sent, json_got, json_delays = json_latency(anchors_path, slow_frames,
                                                        LATENCY_SECONDS)
        sent, got, delays, rss, summary, baseline = latency(anchors_path, slow_frames,
                                                            args.soak)
    if not delays or not baseline:
        sys.exit(f"no fix reached the subscriber:\n{summary}")
    median, p99, worst = percentiles(delays)
    rows = []
    if json_delays:
        j_median, j_p99, j_worst = percentiles(json_delays)
        rows.append(("live: frame sent to JSON line read", f"{json_sent:,}", f"{json_got:,}",
                     f"{j_median * 1e3:.2f} ms", f"{j_p99 * 1e3:.2f} ms",
                     f"{j_worst * 1e3:.1f} ms"))
    rows += [("live: frame sent to MQTT fix received", f"{sent:,}", f"{got:,}",
             f"{median * 1e3:.2f} ms", f"{p99 * 1e3:.2f} ms", f"{worst * 1e3:.1f} ms")]
    b_median, b_p99, b_worst = percentiles(baseline)
    rows.append(("baseline: broker round trip alone", f"{len(baseline):,}", "",
                 f"{b_median * 1e3:.2f} ms", f"{b_p99 * 1e3:.2f} ms", f"{b_worst * 1e3:.1f} ms"))
    print_table(f"Latency at {LATENCY_RATE:,} frames/s ({LATENCY_TAGS:,} tags), MQTT for "
                f"{args.soak:g} s at QoS 1", rows,
                ["path", "sent", "fixes", "median", "p99", "max"])
    print(f"p99 ratio live / broker alone: {p99 / b_p99:.2f}")
    if rss:
        minute = f", {rss[59] / 1024:.1f} MiB after 60 s" if len(rss) > 60 else ""
        print(f"live RSS: {rss[0] / 1024:.1f} MiB after 1 s{minute}, {max(rss) / 1024:.1f} MiB "
              f"at most, {rss[-1] / 1024:.1f} MiB at the end ({len(rss)} samples, one a second)")
    print(json.dumps({"throughput": best, "baseline": round(base),
                      "p99_ms": round(p99 * 1e3, 3), "rss_kib": rss[-1:]}))


if __name__ == "__main__":
    main()
