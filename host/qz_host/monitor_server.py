"""The monitoring endpoint of ``qz-host live --metrics``, on a thread of its
own (the standard library's threading HTTP server):

    GET /metrics   the session's metrics in the Prometheus text format,
                   written by prometheus_client from ``metrics.SessionCollector``
    GET /health    200 "ok" while the session does its job, 503 with the
                   reasons, one a line, when it does not (``health``)

Anything else is 404. Requests are not logged: a scraper every few
seconds would drown the host's own lines.
"""

from __future__ import annotations

import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable, List, Tuple

from . import logs
from .metrics import MonitorSink, SessionCollector, require_prometheus

METRICS_PATH = "/metrics"
HEALTH_PATH = "/health"


class _Handler(BaseHTTPRequestHandler):
    server: "MonitorServer"

    def do_GET(self) -> None:
        path = self.path.split("?", 1)[0]
        if path == METRICS_PATH:
            status, kind, body = 200, self.server.content_type, self.server.metrics()
        elif path == HEALTH_PATH:
            reasons = self.server.health()
            status = 503 if reasons else 200
            kind = "text/plain; charset=utf-8"
            body = ("\n".join(reasons) if reasons else "ok").encode() + b"\n"
        else:
            status, kind, body = 404, "text/plain; charset=utf-8", b"not found\n"
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args) -> None:
        pass


class MonitorServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: Tuple[str, int], monitor: MonitorSink):
        """Binds at once (OSError when it cannot) and serves once started."""
        prometheus = require_prometheus()
        self.registry = prometheus.CollectorRegistry(auto_describe=False)
        self.registry.register(SessionCollector(monitor))
        self.content_type = prometheus.exposition.CONTENT_TYPE_LATEST
        self._generate: Callable[[object], bytes] = prometheus.exposition.generate_latest
        self.health: Callable[[], List[str]] = monitor.health_reasons
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, _Handler)
        self._thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.2},
                                        name="monitoring server", daemon=True)

    def handle_error(self, request, client_address) -> None:
        # A scraper that hung up, or a fault in a collector: one line, and
        # the session goes on.
        error = sys.exc_info()[1]
        logs.logger("live").warning("warning: the monitoring request from %s failed: %r",
                                    client_address[0], error)

    def metrics(self) -> bytes:
        return self._generate(self.registry)

    @property
    def url(self) -> str:
        host, port = str(self.server_address[0]), self.server_address[1]
        return f"http://{f'[{host}]' if ':' in host else host}:{port}"

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        if self._thread.is_alive():
            self.shutdown()
            self._thread.join(timeout=5.0)
        self.server_close()
