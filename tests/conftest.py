import subprocess
import sys
import textwrap
import time

import pytest

# The helpers' asserts (a broker's subscription awaited, a thread stopped)
# must hold under python -O too, as the test modules' rewritten ones do.
pytest.register_assert_rewrite("cli_helpers", "live_helpers", "mosquitto_broker", "web_client",
                               "web_captures")

ASSERTIONS_ENABLED = not sys.flags.optimize


@pytest.fixture(scope="session")
def assertions_enabled():
    """True unless the suite runs under python -O."""
    return ASSERTIONS_ENABLED


def run_python(code, *, optimize=False):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    command = [sys.executable]
    if optimize:
        command.append("-O")
    command += ["-c", textwrap.dedent(code)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


class Product:
    """A count whose multiplication and int conversion disagree."""

    def __init__(self, product, count):
        self.product, self.count = product, count

    def __mul__(self, other):
        return self.product

    def __int__(self):
        return self.count


def wait_for(condition, timeout=20.0, interval=0.02):
    """Whether `condition()` comes true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return bool(condition())
