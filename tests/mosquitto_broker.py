"""A real Mosquitto broker on a free loopback port, and a subscriber."""

import getpass
import shutil
import socket
import subprocess
import threading
from pathlib import Path

import pytest

from live_helpers import free_port, wait_for

MOSQUITTO = shutil.which("mosquitto") or (
    "/usr/sbin/mosquitto" if Path("/usr/sbin/mosquitto").exists() else None)


class Broker:
    """Mosquitto with persistence, so that a restart keeps what a
    persistent subscriber has not received yet."""

    def __init__(self, directory: Path):
        self.port = free_port()
        self.directory = directory
        self.config = directory / "mosquitto.conf"
        self.config.write_text(
            f"listener {self.port} 127.0.0.1\n"
            "allow_anonymous true\n"
            # Started as root it would switch to the mosquitto user, which
            # cannot write the test's directory.
            f"user {getpass.getuser()}\n"
            "persistence true\n"
            f"persistence_location {directory}/\n"
            f"log_dest file {directory}/mosquitto.log\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(self._accepts, timeout=10):
            self.stop()
            raise RuntimeError(f"mosquitto did not start: {self.log()}")

    def _accepts(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None

    def log(self):
        path = self.directory / "mosquitto.log"
        return path.read_text() if path.exists() else ""


@pytest.fixture
def broker(tmp_path):
    if MOSQUITTO is None:
        pytest.skip("mosquitto is not installed (Debian package mosquitto)")
    pytest.importorskip("paho.mqtt", reason="the MQTT tests need paho-mqtt (the live extra)")
    directory = tmp_path / "broker"
    directory.mkdir()
    server = Broker(directory)
    server.start()
    yield server
    server.stop()


class Subscriber:
    """Collects (topic, payload, retained) of everything under `topic`, on a
    persistent session so that a broker restart loses nothing."""

    def __init__(self, port, topic="qz/#", client_id="test-subscriber", clean=False):
        import paho.mqtt.client as mqtt
        self.messages = []
        self.lock = threading.Lock()
        self.subscribed = threading.Event()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id,
                                  clean_session=clean)
        self.client.reconnect_delay_set(0.2, 1)
        self.topic = topic
        self.client.on_connect = lambda c, *_: c.subscribe(topic, qos=1)
        self.client.on_subscribe = lambda *_: self.subscribed.set()
        self.client.on_message = self._message
        self.client.connect("127.0.0.1", port, keepalive=5)
        self.client.loop_start()
        assert self.subscribed.wait(10), "no subscription"

    def _message(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode(), message.retain))

    def received(self, prefix=""):
        with self.lock:
            return [m for m in self.messages if m[0].startswith(prefix)]

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()
