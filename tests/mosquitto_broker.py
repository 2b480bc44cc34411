"""A real Mosquitto broker on a free loopback port, and a subscriber; a
broker that wants a password and also listens with TLS, with a CA and
certificates made by openssl for the test."""

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
MOSQUITTO_PASSWD = shutil.which("mosquitto_passwd")
OPENSSL = shutil.which("openssl")
USER, PASSWORD = "site", "s3cret word"


class Certificates:
    """A CA, a server certificate it signs for 127.0.0.1 and localhost, and
    a second CA that signed nothing of the broker's."""

    def __init__(self, directory: Path):
        self.directory = directory
        self.ca = self._ca("ca")
        self.other_ca = self._ca("other-ca")
        self.key = directory / "server.key"
        self.cert = directory / "server.pem"
        request = directory / "server.csr"
        extensions = directory / "server.ext"
        extensions.write_text("subjectAltName = IP:127.0.0.1, DNS:localhost\n")
        self._openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                      "-nodes", "-keyout", self.key, "-subj", "/CN=127.0.0.1", "-out", request)
        self._openssl("x509", "-req", "-in", request, "-CA", self.ca,
                      "-CAkey", directory / "ca.key", "-CAcreateserial", "-days", "2",
                      "-extfile", extensions, "-out", self.cert)

    def _ca(self, name):
        cert = self.directory / f"{name}.pem"
        self._openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                      "-nodes", "-keyout", self.directory / f"{name}.key", "-days", "2",
                      "-subj", f"/CN=qz test {name}", "-out", cert)
        return cert

    @staticmethod
    def _openssl(*args):
        subprocess.run([OPENSSL, *map(str, args)], check=True, capture_output=True, timeout=60)


class Broker:
    """Mosquitto with persistence, so that a restart keeps what a
    persistent subscriber has not received yet. With `passwords` (user:
    password) it refuses anonymous clients; with `certificates` it listens
    with TLS on `tls_port` too."""

    def __init__(self, directory: Path, passwords=None, certificates=None):
        self.port = free_port()
        self.directory = directory
        self.config = directory / "mosquitto.conf"
        lines = [
            f"listener {self.port} 127.0.0.1",
            # Started as root it would switch to the mosquitto user, which
            # cannot write the test's directory.
            f"user {getpass.getuser()}",
            "persistence true",
            f"persistence_location {directory}/",
            f"log_dest file {directory}/mosquitto.log",
        ]
        if passwords:
            password_file = directory / "passwords"
            for user, password in passwords.items():
                subprocess.run([MOSQUITTO_PASSWD, "-b", *(["-c"] if not password_file.exists()
                                                          else []),
                                str(password_file), user, password],
                               check=True, capture_output=True, timeout=30)
            lines += ["allow_anonymous false", f"password_file {password_file}"]
        else:
            lines.append("allow_anonymous true")
        self.tls_port = None
        if certificates is not None:
            self.tls_port = free_port()
            lines += [f"listener {self.tls_port} 127.0.0.1", f"cafile {certificates.ca}",
                      f"certfile {certificates.cert}", f"keyfile {certificates.key}"]
        self.config.write_text("\n".join(lines) + "\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(self._accepts, timeout=10):
            self.stop()
            raise RuntimeError(f"mosquitto did not start: {self.log()}")

    def _accepts(self):
        for port in (self.port, self.tls_port):
            if port is None:
                continue
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                    pass
            except OSError:
                return False
        return True

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


def _needs_mosquitto():
    if MOSQUITTO is None:
        pytest.skip("mosquitto is not installed (Debian package mosquitto)")
    pytest.importorskip("paho.mqtt", reason="the MQTT tests need paho-mqtt (the live extra)")


@pytest.fixture
def broker(tmp_path):
    _needs_mosquitto()
    directory = tmp_path / "broker"
    directory.mkdir()
    server = Broker(directory)
    server.start()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    if OPENSSL is None:
        pytest.skip("openssl is not installed (Debian package openssl)")
    return Certificates(tmp_path_factory.mktemp("certificates"))


@pytest.fixture
def secure_broker(tmp_path, certificates):
    """A broker that wants USER's PASSWORD, on a plain and a TLS port."""
    _needs_mosquitto()
    if MOSQUITTO_PASSWD is None:
        pytest.skip("mosquitto_passwd is not installed (Debian package mosquitto)")
    directory = tmp_path / "secure-broker"
    directory.mkdir()
    server = Broker(directory, passwords={USER: PASSWORD}, certificates=certificates)
    server.start()
    yield server
    server.stop()


class Subscriber:
    """Collects (topic, payload, retained) of everything under `topic`, on a
    persistent session so that a broker restart loses nothing."""

    def __init__(self, port, topic="qz/#", client_id="test-subscriber", clean=False,
                 ca=None, user=None, password=None):
        import paho.mqtt.client as mqtt
        self.messages = []
        self.lock = threading.Lock()
        self.subscribed = threading.Event()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id,
                                  clean_session=clean)
        self.client.reconnect_delay_set(0.2, 1)
        if ca is not None:
            self.client.tls_set(ca_certs=str(ca))
        if user is not None:
            self.client.username_pw_set(user, password)
        topics = [topic] if isinstance(topic, str) else list(topic)
        self.topic = topics[0]
        self.client.on_connect = lambda c, *_: c.subscribe([(t, 1) for t in topics])
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
