"""``qz-host live``: frames from a port or the network, fixes out as they come.

The source hands bytes, datagrams or capture lines (see ``sources``) to
this module's loop, which feeds the pipeline (framer, decoder, survey,
tracker, sinks) and runs its periodic checks. SIGINT and SIGTERM stop the
loop: what was queued is processed, every output flushed and closed,
"offline" published, and the summary printed.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
from pathlib import Path
from typing import IO, Callable, List, Optional, TextIO, Tuple

from .. import addresses, devices, frames, logs
from ..live_counters import LiveCounters
from ..options import BAUD, SECONDS, UNIT, whole
from ..pipeline import Anchors, Pipeline, Sink
from ..sinks import CsvSink, JsonLinesSink, RecordSink, write_anchors
from ..sources import LineSource, Source, UdpSource, open_source
from ..site_frame import FrameError
from ..survey import SurveyError, known_anchors
from . import monitor_options, site_inputs, web_options
from .base import CommandError, check_outputs, stop_on_signals
from .file_outputs import FileOutput
from .hangup import Reopener, reopen_on_hangup

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
    site_inputs.add_options(live, anchors_help="known anchors (CSV anchor,x,y,z[,offset] in "
                            "metres, as NAME.anchors.csv): no survey")
    live.add_argument("--save-anchors", type=Path, metavar="FILE",
                      help="write the anchors to this CSV file, for --anchors: when surveyed, "
                           "and at the end with the range offsets learned")
    live.add_argument("--survey-samples", type=whole(1, 1_000_000), default=10,
                      help="samples of every anchor pair before surveying (default 10)")
    live.add_argument("--survey-timeout", type=SECONDS, default=30.0,
                      help="seconds before surveying with the pairs there are (default 30)")
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
    # A bad --web address ends the session in one line, as a port in use does.
    web_options.add_options(live, as_text=True)
    monitor_options.add_options(live)
    live.set_defaults(handler=run_command)


def _open_text(path: Path, mode: str) -> IO[str]:
    try:
        return open(path, mode, encoding="ascii", newline="")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror}") from None


def _sinks(args: argparse.Namespace, counters: LiveCounters, site: site_inputs.SiteInputs,
           source: Source, settings: Callable[[], Tuple[float, str]],
           log: Callable[[str], None]) -> List[Sink]:
    sinks: List[Sink] = []
    try:
        if args.web is not None:  # first: a map it cannot serve leaves the files untouched
            from .live_map import LiveMap
            sinks.append(LiveMap(web_options.checked_address(args.web), args.allow_host, site,
                                 counters, log, recorded_times=isinstance(source, LineSource),
                                 tag_timeout=args.tag_timeout))
        if args.metrics is not None:
            # Byte streams and datagrams are stamped as read; lines carry recorded times.
            sinks.append(monitor_options.ServedMonitor(
                args, counters, receipt_times=not isinstance(source, LineSource), log=log))
        if args.record is not None:
            sinks.append(FileOutput(RecordSink(_open_text(args.record, "a"), settings),
                                    args.record, counters, log))
        jsonl = args.jsonl
        if jsonl is None and args.csv is None and args.mqtt is None and args.web is None:
            jsonl = "-"
        if jsonl == "-":
            sinks.append(JsonLinesSink(sys.stdout, owned=False, flush_each=True))
        elif jsonl is not None:
            sinks.append(FileOutput(JsonLinesSink(_open_text(Path(jsonl), "w"), owned=True),
                                    Path(jsonl), counters, log))
        if args.csv is not None:
            sinks.append(FileOutput(CsvSink(_open_text(args.csv, "w")), args.csv, counters, log))
        if args.mqtt is not None:
            from ..mqtt import MqttSink, parse_broker
            try:
                host, port = parse_broker(args.mqtt)
            except ValueError as error:
                raise CommandError(f"--mqtt: {error}") from None
            password = os.environ.get(PASSWORD_VARIABLE)
            if args.mqtt_tls is not None and not Path(args.mqtt_tls).is_file():
                raise CommandError(f"--mqtt-tls: no such file {args.mqtt_tls}")
            sinks.append(MqttSink(host, port, counters=counters, prefix=args.topic_prefix,
                                  qos=args.qos, user=args.mqtt_user, password=password,
                                  tls_ca=args.mqtt_tls, queue_limit=args.mqtt_queue, log=log))
    except (ValueError, ImportError) as error:
        for sink in sinks:
            sink.close()
        raise CommandError(str(error)) from None
    except CommandError:
        for sink in sinks:
            sink.close()
        raise
    return sinks


def run(pipeline: Pipeline, source: Source, stop: threading.Event,
        between: Optional[Callable[[], None]] = None) -> None:
    """Feeds the pipeline from `source` until `stop` is set or the source
    ends, calling `between` before each item and tick."""
    if between is None:
        source.serve(lambda item: _handle(pipeline, item), pipeline.tick, stop)
    else:
        def handle(item: tuple) -> bool:
            between()
            return _handle(pipeline, item)

        def idle() -> None:
            between()
            pipeline.tick()

        source.serve(handle, idle, stop)
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
    log = logs.line_log("live")
    if args.fcs is not None:
        try:
            frames.checksum(args.fcs)
        except ValueError as error:
            raise CommandError(f"--fcs: {error}") from None
    site = site_inputs.read(args)
    anchors = site.anchors
    if anchors is not None:
        try:
            known_anchors(anchors)
        except SurveyError as error:
            raise CommandError(f"{site.anchors_path or _site_path(site)}: {error}") from None
    if args.web is not None:
        try:
            web_options.checked_address(args.web)
        except ValueError as error:
            raise CommandError(f"--web: {error}") from None
    check_outputs(site.inputs, [p for p in (args.save_anchors, args.csv, args.record,
                                            None if args.jsonl in (None, "-") else Path(args.jsonl))
                                if p is not None])
    for note in site.site_warnings:
        log(note)
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

    def save_learned() -> None:
        """The anchors with the offsets the tracker learned, as the replay
        saves them."""
        learned = pipeline.tracking.learned_anchors() if pipeline.tracking is not None else {}
        if args.save_anchors is not None and learned:
            try:
                devices.write_anchors(args.save_anchors, learned, exact=True)
            except OSError as error:
                log(f"cannot write {args.save_anchors}: {error.strerror}")

    def settings() -> Tuple[float, str]:
        # What the recording's heading declares, read when its first frame
        # comes: by then capture lines have declared theirs.
        return pipeline.dist_unit, pipeline.checksum_name

    try:
        sinks = _sinks(args, counters, site, source, settings, log)
    except BaseException:
        source.close()
        raise
    try:
        pipeline = Pipeline(sinks, counters=counters, anchors=anchors, dist_unit=args.unit,
                            checksum_name=checksum_name, survey_samples=args.survey_samples,
                            survey_timeout=args.survey_timeout, tag_timeout=args.tag_timeout,
                            sigma=site.sigma, tags=site.tags, tag_height=site.tag_height,
                            site=site.site, log=log, on_anchors=None if anchors else save)
    except FrameError as error:  # the site frame does not fit the known anchors
        for sink in sinks:
            sink.close()
        source.close()
        raise CommandError(f"{_site_path(site)}: {error}") from None
    files = [sink for sink in sinks if isinstance(sink, FileOutput)]
    for sink in sinks:
        if isinstance(sink, monitor_options.ServedMonitor):
            sink.watch(pipeline, files)
    reopen = Reopener(files, log)
    stop = stop if stop is not None else threading.Event()
    try:
        with stop_on_signals(stop), reopen_on_hangup(reopen):
            run(pipeline, source, stop, reopen)
    except FrameError as error:  # nor the surveyed ones
        raise CommandError(f"{_site_path(site)}: {error}") from None
    except ValueError as error:  # a capture line declaring a bad unit or checksum
        raise CommandError(f"{args.source}: {error}") from None
    finally:
        pipeline.close()
        save_learned()
    summary_out = sys.stderr if any(isinstance(s, JsonLinesSink) and not s.owned
                                    for s in sinks) else out
    from ..live_report import summary
    summary_out.write(summary(counters, pipeline, source=args.source,
                              anchors_from=str(site.anchors_path or _site_path(site))
                              if anchors else None))
    summary_out.flush()
    return 0 if pipeline.anchors is not None else 1


def _site_path(site: site_inputs.SiteInputs) -> str:
    return str(site.site.path) if site.site is not None else "the site"
