"""``qz-host live``: frames from a port or the network, fixes out as they come.

The source hands bytes, datagrams or capture lines (see ``sources``) to
this module's loop, which feeds the pipeline (framer, decoder, survey,
tracker, sinks) and runs its periodic checks. SIGINT and SIGTERM stop the
loop: what was queued is processed, every output flushed and closed,
"offline" published, and the summary printed. A second signal during the
stop gives up waiting (for the broker's acknowledgements, say): the summary
is printed and the exit status is 1. Standard output closed by its reader
stops the session as a signal would.
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
from ..live_status import StatusLine
from ..options import BAUD, SECONDS, UNIT, number, whole
from ..pipeline import Anchors, Pipeline, Sink
from ..record_files import rotation
from ..sinks import CsvSink, JsonLinesSink, RecordSink, write_anchors
from ..sources import LineSource, Source, UdpSource, open_source
from ..site_frame import FrameError
from ..survey import SurveyError, known_anchors
from . import monitor_options, site_inputs, web_options
from .base import CommandError, StopWaiting, check_outputs, stop_on_signals
from .file_outputs import FileOutput
from .hangup import Reopener, reopen_on_hangup

PASSWORD_VARIABLE = "QZ_MQTT_PASSWORD"
QUEUE_LIMIT = 100000  # fixes kept for the broker
STATS_EVERY = 60.0  # seconds between status lines


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
    live.add_argument("--once", action="store_true",
                      help="exit (status 2) when a serial port or TCP server cannot be opened "
                           "at the start, rather than retrying it")
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
    live.add_argument("--record-rotate", type=rotation, metavar="SIZE|hourly",
                      help="record to a new file, named FILE-TIME, after SIZE bytes (100M, "
                           "2G, 500K) or every hour")
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
    # A bad --web address ends the session in one line, as a port in use does.
    web_options.add_options(live, as_text=True)
    monitor_options.add_options(live)
    live.add_argument("--stats", type=number(0, 86400), default=STATS_EVERY, metavar="S",
                      help=f"log a status line every S seconds, 0 for none "
                           f"(default {STATS_EVERY:g})")
    live.set_defaults(handler=run_command)


def _open_text(path: Path, mode: str) -> IO[str]:
    try:
        return open(path, mode, encoding="ascii", newline="")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror}") from None


def _record(args: argparse.Namespace, settings: Callable[[], Tuple[float, str]],
            counters: LiveCounters, log: Callable[[str], None]) -> Sink:
    if args.record_rotate is None:
        return FileOutput(RecordSink(_open_text(args.record, "a"), settings),
                          args.record, counters, log)
    # A series switches files itself; SIGHUP has nothing to reopen.
    folder = args.record.parent  # where the series' files go; FILE itself is not written
    if not folder.is_dir():
        raise CommandError(f"cannot write {args.record}: no such directory {folder}")
    if not os.access(folder, os.W_OK):
        raise CommandError(f"cannot write {args.record}: permission denied")
    return RecordSink(None, settings, series=args.record, rotation=args.record_rotate, log=log)


def _sinks(args: argparse.Namespace, counters: LiveCounters, site: site_inputs.SiteInputs,
           source: Source, settings: Callable[[], Tuple[float, str]],
           log: Callable[[str], None], stop: threading.Event) -> List[Sink]:
    def stdout_closed() -> None:
        log("standard output closed; stopping")
        stop.set()

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
            sinks.append(_record(args, settings, counters, log))
        elif args.record_rotate is not None:
            raise CommandError("--record-rotate needs --record FILE")
        jsonl = args.jsonl
        if jsonl is None and args.csv is None and args.mqtt is None and args.web is None:
            jsonl = "-"
        if jsonl == "-":
            sinks.append(JsonLinesSink(sys.stdout, owned=False, flush_each=True,
                                       on_closed=stdout_closed))
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
            known = site.site  # the site file's zones, tags and name, when there is one
            sinks.append(MqttSink(
                host, port, counters=counters, prefix=args.topic_prefix, qos=args.qos,
                user=args.mqtt_user, password=password, tls_ca=args.mqtt_tls,
                queue_limit=args.mqtt_queue, ha_discovery=args.ha_discovery,
                zones=[z.name for z in known.zones] if known is not None else (),
                tag_names={a: t.name for a, t in site.tags.items() if t.name}
                if site.tags else None,
                site_name=known.name if known is not None else None,
                tag_timeout=args.tag_timeout, log=log))
        elif args.ha_discovery:
            raise CommandError("--ha-discovery needs --mqtt")
        if args.stats:
            sinks.append(StatusLine(counters, args.stats, log))
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
        source = open_source(args.source, baud=args.baud, counters=counters, log=log,
                             once=args.once)
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

    stop = stop if stop is not None else threading.Event()
    try:
        sinks = _sinks(args, counters, site, source, settings, log, stop)
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
    failure: Optional[str] = None
    gave_up = False
    with stop_on_signals(stop) as stopping, reopen_on_hangup(reopen):
        try:
            run(pipeline, source, stop, reopen)
        except FrameError as error:  # nor the surveyed ones
            failure = f"{_site_path(site)}: {error}"
        except ValueError as error:  # a capture line declaring a bad unit or checksum
            failure = f"{args.source}: {error}"
        except StopWaiting:  # the drain, cut short
            log("stopped waiting: a second signal")
            gave_up = True
        finally:
            if stopping.signal is not None and not gave_up:
                log(f"stopping on {stopping.signal.name}; another stops waiting")
            gave_up = _close(sinks, log) or gave_up
            save_learned()
    if failure is not None:
        raise CommandError(failure)
    summary_out = sys.stderr if any(isinstance(s, JsonLinesSink) and not s.owned
                                    for s in sinks) else out
    from ..live_report import summary
    text = summary(counters, pipeline, source=args.source,
                   anchors_from=str(site.anchors_path or _site_path(site)) if anchors else None)
    try:
        summary_out.write(text)
        summary_out.flush()
    except BrokenPipeError:  # stdout closed by its reader: the summary goes to stderr
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, summary_out.fileno())  # what its buffer holds is not written at exit
        os.close(null)
        sys.stderr.write(text)
    lost_to_broker = counters.dropped["mqtt queue"] + counters.dropped["mqtt unacknowledged"]
    if gave_up or lost_to_broker:
        return 1
    return 0 if pipeline.anchors is not None else 1


def _site_path(site: site_inputs.SiteInputs) -> str:
    return str(site.site.path) if site.site is not None else "the site"


def _close(sinks: List[Sink], log: Callable[[str], None]) -> bool:
    """Closes every sink, in order; True when a second signal cut a close
    short (the sinks after it are closed all the same)."""
    gave_up = False
    for sink in sinks:
        try:
            sink.close()
        except StopWaiting:
            if not gave_up:
                log("stopped waiting: a second signal")
            gave_up = True
    return gave_up
