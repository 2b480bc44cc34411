"""The broker's state as the host says it: one short phrase, kept in
``LiveCounters.mqtt_state`` for the status line and the metrics, and one
line on stderr whenever it changes, never per retry:

    MQTT broker 127.0.0.1:1883: connected
    MQTT broker 127.0.0.1:1883: connection lost; reconnecting
    MQTT broker 127.0.0.1:1883: connection refused; retrying
    MQTT broker broker.lan:1883: name not resolved (Name or service not known); retrying
    MQTT broker 127.0.0.1:8883: authentication refused (Not authorized); retrying
    MQTT broker 127.0.0.1:8883: TLS failure (certificate verify failed: ...); retrying
    MQTT broker 127.0.0.1:1883: reconnected

Only the MQTT client's network thread calls a ``BrokerState``.
"""

from __future__ import annotations

import socket
import ssl
from typing import Callable, Tuple

from .live_counters import LiveCounters

CONNECTING = "connecting"
CONNECTED = "connected"
LOST = "connection lost"
REFUSED = "connection refused"
UNRESOLVED = "name not resolved"
AUTH_REFUSED = "authentication refused"
TLS_FAILURE = "TLS failure"
UNREACHABLE = "unreachable"

# CONNACK reasons (MQTT 3.1.1 codes 4 and 5, and their MQTT 5 kin) that
# say the credentials are wrong rather than the broker unwilling.
AUTH_REASONS = frozenset({"Bad user name or password", "Not authorized",
                          "Bad authentication method"})


def connect_failure(error: BaseException) -> Tuple[str, str]:
    """(state, detail) of a connection attempt that raised `error`."""
    if isinstance(error, socket.gaierror):
        return UNRESOLVED, error.strerror or str(error)
    if isinstance(error, UnicodeError):  # a name the IDNA codec cannot encode
        return UNRESOLVED, str(error)
    if isinstance(error, ssl.SSLCertVerificationError):
        return TLS_FAILURE, f"certificate verify failed: {error.verify_message}"
    if isinstance(error, ssl.SSLError):
        return TLS_FAILURE, error.reason or str(error)
    if isinstance(error, ssl.CertificateError):
        return TLS_FAILURE, str(error)
    if isinstance(error, ConnectionRefusedError):
        return REFUSED, ""
    if isinstance(error, (TimeoutError, socket.timeout)):
        return UNREACHABLE, "no answer"
    if isinstance(error, OSError):
        return UNREACHABLE, error.strerror or str(error)
    return UNREACHABLE, str(error)


def refusal(reason: object) -> Tuple[str, str]:
    """(state, detail) of a CONNACK that refused the connection."""
    text = str(reason)
    return (AUTH_REFUSED if text in AUTH_REASONS else REFUSED), text


class BrokerState:
    """Says each change of the broker's state once."""

    def __init__(self, address: str, counters: LiveCounters, log: Callable[[str], None]):
        self.address = address
        self.counters = counters
        self.log = log
        self.connected_once = False
        self._last: Tuple[str, str] = (CONNECTING, "")
        counters.mqtt_state = CONNECTING

    @property
    def state(self) -> str:
        return self._last[0]

    def _say(self, state: str, detail: str = "", then: str = "", phrase: str = "") -> None:
        if (state, detail) == self._last:
            return
        self._last = (state, detail)
        self.counters.mqtt_state = state
        self.log(f"MQTT broker {self.address}: {phrase or state}"
                 + (f" ({detail})" if detail else "") + (f"; {then}" if then else ""))

    def connected(self) -> None:
        if not self.connected_once:
            self.connected_once = True
            self._say(CONNECTED)
            return
        self.counters.mqtt_reconnects += 1
        self._last = ("", "")  # said even when the drop before it was not seen
        self._say(CONNECTED, phrase="reconnected")

    def failed(self, state: str, detail: str) -> None:
        self._say(state, detail, "retrying")

    def lost(self) -> None:
        """The connection closed; only news when it was up (a refused one
        closes too, and has been said)."""
        if self.state == CONNECTED:
            self._say(LOST, "", "reconnecting")
