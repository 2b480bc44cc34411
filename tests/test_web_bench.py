"""The map's benchmark runs, and its measure of the messages holds: at 200
tags an update is a small part of the whole state it used to be."""

import sys
from pathlib import Path

import pytest

pytest.importorskip("websockets", reason="the web extra (websockets) is not installed")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import bench_web  # noqa: E402


def test_differences_are_a_fraction_of_the_whole():
    sizes = bench_web.message_sizes()
    assert sizes["one_tag"] < sizes["every_tag"] < sizes["whole"] < sizes["whole_exact"]
    assert sizes["every_tag"] * 10 < sizes["whole_exact"]
    assert sizes["one_tag"] < 2000
