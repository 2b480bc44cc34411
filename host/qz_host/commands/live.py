"""``qz-host live``: frames from a port or the network, fixes out as they come.

The source hands bytes, datagrams or capture lines (see ``sources``) to
this module's loop, which feeds the pipeline (framer, decoder, survey,
tracker, sinks) and runs its periodic checks. SIGINT and SIGTERM stop the
loop: what was queued is processed, every output flushed and closed,
"offline" published, and the summary printed.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import threading
from pathlib import Path
from typing import IO, Callable, List, Optional, TextIO, Tuple

from .. import addresses, frames
from ..live_counters import LiveCounters
from ..options import BAUD, SECONDS, SIGMA, UNIT, whole
from ..pipeline import Anchors, Pipeline, Sink
from ..sinks import CsvSink, JsonLinesSink, RecordSink, write_anchors
from ..sources import LineSource, Source, UdpSource, open_source
from ..survey import SurveyError, known_anchors
from .base import CommandError, stop_on_signals
from .site_inputs import read_known_anchors

PASSWORD_VARIABLE = "QZ_MQTT_PASSWORD"
QUEUE_LIMIT = 100000  # fixes kept for the broker


def register(commands) -> None:
    live = commands.add_parser(
        "live", help="track tags live from a serial port, TCP, UDP or standard input",
        description="Read frames from SOURCE, survey the anchors (or read them with "
                    "--anchors), track every tag and write each fix as it comes. Stops "
                    "cleanly on SIGINT or SIGTERM, or when standard input ends.")
    live.add_argument("source", metavar="SOURCE",
                      help="serial device or pyserial URL (socket://HOST:PORT, rfc2217://..., "
                           "loop://), udp://HOST:PORT, or - for capture lines on stdin")
    live.add_argument("--baud", type=BAUD, default=115200,
                      help="serial port speed (default 115200)")
    live.add_argument("--unit", type=UNIT,
                      help="metres per raw distance count (default: what stdin's capture "
                           "declares, else 0.01)")
    fcs = live.add_mutually_exclusive_group()
    fcs.add_argument("--fcs", nargs="?", const=frames.FCS_NAME, metavar="NAME",
                     help=f"check every frame's checksum (default name {frames.FCS_NAME}; "
                          f"known: {', '.join(frames.CHECKSUMS)})")
    fcs.add_argument("--no-fcs", action="store_true",
                     help="check no checksum (default for byte streams and datagrams; "
                          "capture lines: as they declare)")
    live.add_argument("--anchors", type=Path, metavar="FILE",
                      help="known anchors (CSV anchor,x,y,z): no survey")
    live.add_argument("--save-anchors", type=Path, metavar="FILE",
                      help="write the surveyed anchors to this CSV file")
    live.add_argument("--survey-samples", type=whole(1, 1_000_000), default=10,
                      help="samples of every anchor pair before surveying (default 10)")
    live.add_argument("--survey-timeout", type=SECONDS, default=30.0,
                      help="seconds before surveying with the pairs there are (default 30)")
    live.add_argument("--sigma", type=SIGMA, metavar="M",
                      help="ranging noise the tracker assumes, m (default: measured from the "
                           "survey's repeated ranges, as the replay does)")
    live.add_argument("--tag-timeout", type=SECONDS, default=10.0,
                      help="seconds of silence that drop a tag from the live set (default 10)")
    live.add_argument("--jsonl", metavar="FILE",
                      help="write one JSON object per fix, - for stdout (the default output)")
    live.add_argument("--csv", type=Path, metavar="FILE", help="write the fixes as CSV")
    live.add_argument("--record", type=Path, metavar="FILE",
                      help="append every frame received to this capture file")
    live.add_argument("--mqtt", metavar="HOST[:PORT]", help="publish the fixes to this broker")
    live.add_argument("--topic-prefix", default="qz", help="MQTT topic prefix (default qz)")
    live.add_argument("--qos", type=int, choices=(0, 1, 2), default=1,
                      help="QoS of the published fixes (default 1)")
    live.add_argument("--mqtt-user", help=f"MQTT user name; the password is read from "
                                          f"${PASSWORD_VARIABLE}")
    live.add_argument("--mqtt-tls", metavar="CAFILE",
                      help="connect with TLS, trusting this CA certificate file")
    live.add_argument("--mqtt-queue", type=whole(1, 10_000_000), default=QUEUE_LIMIT,
                      help=f"fixes kept while the broker is away (default {QUEUE_LIMIT})")
    live.add_argument("--ha-discovery", action="store_true",
                      help="announce every tag to Home Assistant by MQTT discovery: a tracker "
                           "whose state is its zone, its position as attributes")
    live.add_argument("--web", metavar="HOST:PORT", help="serve the live map here")
    live.set_defaults(handler=run_command)


class _WebFeed(Sink):
    """Feeds the web map's state; the server runs on its own thread."""

    def __init__(self, address: str, counters: LiveCounters, log: Callable[[str], None]):
        try:
            state = importlib.import_module("qz_host.web.state")
            server = importlib.import_module("qz_host.web.server")
        except ImportError as error:
            raise CommandError(f"--web needs the web map ({error}): "
                               "pip install 'qz-rtls[web]'") from None
        try:
            host, port = addresses.host_port(address, listening=True,
                                             default_host=addresses.LOOPBACK)
        except ValueError as error:
            raise CommandError(f"--web: {error}") from None
        self.counters = counters
        self.state = state.MapState()
        self.server = server.WebServer(self.state, host, port)
        try:
            self.server.start()
        except OSError as error:
            raise CommandError(f"--web: cannot serve on {address}: {error.strerror}") from None
        warning = addresses.exposure_warning(host, "serving", "can read the map")
        if warning is not None:
            log(warning)
        log(f"serving the map on {self.server.url}")

    def anchors(self, anchors: Anchors) -> None:
        self.state.set_anchors({a: (x, y) for a, (x, y, _) in anchors.items()})

    def fix(self, position) -> None:
        self.state.add_fix(position.fix)

    def tick(self) -> None:
        self.state.set_counters(self.counters.as_dict())

    def close(self) -> None:
        self.server.stop()


def _open_text(path: Path, mode: str) -> IO[str]:
    try:
        return open(path, mode, encoding="ascii", newline="")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror}") from None


def _sinks(args: argparse.Namespace, counters: LiveCounters,
           settings: Callable[[], Tuple[float, str]], log: Callable[[str], None]) -> List[Sink]:
    sinks: List[Sink] = []
    try:
        if args.record is not None:
            sinks.append(RecordSink(_open_text(args.record, "a"), settings))
        jsonl = args.jsonl
        if jsonl is None and args.csv is None and args.mqtt is None and args.web is None:
            jsonl = "-"
        if jsonl == "-":
            sinks.append(JsonLinesSink(sys.stdout, owned=False, flush_each=True))
        elif jsonl is not None:
            sinks.append(JsonLinesSink(_open_text(Path(jsonl), "w"), owned=True))
        if args.csv is not None:
            sinks.append(CsvSink(_open_text(args.csv, "w")))
        if args.mqtt is not None:
            from ..mqtt import MqttSink, parse_broker
            try:
                host, port = parse_broker(args.mqtt)
            except ValueError as error:
                raise CommandError(f"--mqtt: {error}") from None
            password = os.environ.get(PASSWORD_VARIABLE)
            if args.mqtt_tls is not None and not Path(args.mqtt_tls).is_file():
                raise CommandError(f"--mqtt-tls: no such file {args.mqtt_tls}")
            loaded = getattr(args, "site_file", None)
            site = loaded.site if loaded is not None else None
            sinks.append(MqttSink(
                host, port, counters=counters, prefix=args.topic_prefix, qos=args.qos,
                user=args.mqtt_user, password=password, tls_ca=args.mqtt_tls,
                queue_limit=args.mqtt_queue, ha_discovery=args.ha_discovery,
                zones=[z.name for z in site.zones] if site is not None else (),
                tag_names={a: t.name for a, t in site.tags.items() if t.name}
                if site is not None else None,
                site_name=site.name if site is not None else None,
                tag_timeout=args.tag_timeout, log=log))
        elif args.ha_discovery:
            raise CommandError("--ha-discovery needs --mqtt")
        if args.web is not None:
            sinks.append(_WebFeed(args.web, counters, log))
    except (ValueError, ImportError) as error:
        for sink in sinks:
            sink.close()
        raise CommandError(str(error)) from None
    except CommandError:
        for sink in sinks:
            sink.close()
        raise
    return sinks


def run(pipeline: Pipeline, source: Source, stop: threading.Event) -> None:
    """Feeds the pipeline from `source` until `stop` is set or the source ends."""
    source.serve(lambda item: _handle(pipeline, item), pipeline.tick, stop)
    pipeline.tick()


def _handle(pipeline: Pipeline, item: tuple) -> bool:
    """Feeds one inbox item; True when the source has ended."""
    kind = item[0]
    if kind == "bytes":
        pipeline.feed_bytes(item[1], item[2], item[3])
    elif kind == "frame":
        pipeline.counters.bytes_read += len(item[2])
        pipeline.feed_frame(item[1], item[2])
    elif kind == "line":
        pipeline.feed_line(item[1])
    elif kind == "restart":
        pipeline.restart_stream(item[1])
    elif kind == "fail":
        raise ValueError(item[1])
    else:
        pipeline.log(item[1])
        return True
    return False


def run_command(args: argparse.Namespace, out: TextIO,
                stop: Optional[threading.Event] = None) -> int:
    def log(text: str) -> None:
        print(f"qz-host live: {text}", file=sys.stderr, flush=True)

    if args.fcs is not None:
        try:
            frames.checksum(args.fcs)
        except ValueError as error:
            raise CommandError(f"--fcs: {error}") from None
    anchors = None
    if args.anchors is not None:
        anchors = read_known_anchors(args.anchors)
        try:
            known_anchors(anchors)
        except SurveyError as error:
            raise CommandError(f"{args.anchors}: {error}") from None
    counters = LiveCounters(source_name=args.source)
    try:
        source = open_source(args.source, baud=args.baud, counters=counters, log=log)
    except (OSError, ValueError, ImportError) as error:
        raise CommandError(f"cannot open {args.source}: {error}") from None
    if isinstance(source, UdpSource):
        warning = addresses.exposure_warning(source.address[0], "listening for frames",
                                             "can send it frames")
        if warning is not None:
            log(warning)
    checksum_name = args.fcs if args.fcs is not None else ("" if args.no_fcs else None)
    if checksum_name is None and not isinstance(source, LineSource):
        checksum_name = ""

    def save(surveyed: Anchors) -> None:
        log(f"{len(surveyed)} anchors surveyed; tracking with a ranging noise of "
            f"{pipeline.sigma!r} m")
        if args.save_anchors is not None:
            try:
                write_anchors(args.save_anchors, surveyed)
            except OSError as error:
                log(f"cannot write {args.save_anchors}: {error.strerror}")

    def settings() -> Tuple[float, str]:
        # What the recording's heading declares, read when its first frame
        # comes: by then capture lines have declared theirs.
        return pipeline.dist_unit, pipeline.checksum_name

    try:
        sinks = _sinks(args, counters, settings, log)
    except BaseException:
        source.close()
        raise
    pipeline = Pipeline(sinks, counters=counters, anchors=anchors, dist_unit=args.unit,
                        checksum_name=checksum_name, survey_samples=args.survey_samples,
                        survey_timeout=args.survey_timeout, tag_timeout=args.tag_timeout,
                        sigma=args.sigma, log=log, on_anchors=None if anchors else save)
    stop = stop if stop is not None else threading.Event()
    try:
        with stop_on_signals(stop):
            run(pipeline, source, stop)
    except ValueError as error:  # a capture line declaring a bad unit or checksum
        raise CommandError(f"{args.source}: {error}") from None
    finally:
        pipeline.close()
    summary_out = sys.stderr if any(isinstance(s, JsonLinesSink) and not s.owned
                                    for s in sinks) else out
    from ..live_report import summary
    summary_out.write(summary(counters, pipeline, source=args.source,
                              anchors_from=str(args.anchors) if anchors else None))
    summary_out.flush()
    lost_to_broker = counters.dropped["mqtt queue"] + counters.dropped["mqtt unacknowledged"]
    return 0 if pipeline.anchors is not None and not lost_to_broker else 1
