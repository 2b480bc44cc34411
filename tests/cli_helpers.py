"""Running qz-host in-process, and a small simulated capture to run it on."""

import io

import pytest

from qz_host import cli


def run(*args):
    out = io.StringIO()
    code = cli.main([str(a) for a in args], out=out)
    return code, out.getvalue()


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    path = tmp_path_factory.mktemp("capture") / "small.qzcap"
    code, text = run("simulate", path, "--duration", "2", "--seed", "5")
    if code != 0:  # not an assert: this module is not rewritten, and -O drops asserts
        raise RuntimeError(f"simulate failed: {text}")
    return path
