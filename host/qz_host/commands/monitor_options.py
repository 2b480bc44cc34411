"""``qz-host live``'s monitoring options: where to serve the metrics and the
health, and how long a silence the health allows."""

from __future__ import annotations

import argparse

from .. import addresses
from ..live_counters import LiveCounters
from ..logs import Log
from ..metrics import MonitorSink
from ..options import SECONDS
from .base import CommandError

HEALTH_TIMEOUT = 30.0  # seconds without a frame before the health says so


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--metrics", metavar="HOST:PORT",
                        help="serve /metrics (Prometheus) and /health here (PORT alone: "
                             "loopback; port 0 picks a free one)")
    parser.add_argument("--health-timeout", type=SECONDS, default=HEALTH_TIMEOUT, metavar="S",
                        help=f"seconds without a frame after which /health answers 503 "
                             f"(default {HEALTH_TIMEOUT:g})")


class ServedMonitor(MonitorSink):
    """The monitor with its server, which stops when the session closes."""

    def __init__(self, args: argparse.Namespace, counters: LiveCounters, *,
                 receipt_times: bool, log: Log):
        super().__init__(counters, receipt_times=receipt_times,
                         health_timeout=args.health_timeout, broker=args.mqtt is not None)
        try:
            host, port = addresses.host_port(args.metrics, listening=True,
                                             default_host=addresses.LOOPBACK)
        except ValueError as error:
            raise CommandError(f"--metrics: {error}") from None
        from ..monitor_server import MonitorServer  # imports prometheus_client

        try:
            self.server = MonitorServer((host, port), self)
        except OSError as error:
            raise CommandError(f"--metrics: cannot serve on {args.metrics}: "
                               f"{error.strerror or error}") from None
        self.server.start()
        warning = addresses.exposure_warning(host, "serving metrics", "can read the metrics")
        if warning is not None:
            log(warning)
        log(f"serving metrics on {self.server.url}/metrics and health on "
            f"{self.server.url}/health")

    def close(self) -> None:
        self.server.stop()
