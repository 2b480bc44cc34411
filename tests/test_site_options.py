"""A site's [options]: which options the command line gave, the site's
defaults for the others, converted and checked by each option's own type."""

import argparse
import textwrap
from pathlib import Path

import pytest

from qz_host import cli, frames
from qz_host.site_file import SiteError, read_site
from qz_host.site_options import apply_options, check_options, command_parsers, given_options


def site_with(tmp_path, options):
    path = tmp_path / "site.toml"
    path.write_text("# a comment\n[options]\n" + textwrap.dedent(options), encoding="utf-8")
    return read_site(path).site


def parsed(argv, site):
    """The arguments of `argv` with the site's defaults applied, and the keys
    applied."""
    top = cli.build_parser()
    args = top.parse_args(argv)
    applied = apply_options(site, command_parsers()[argv[0]], args, given_options(top, argv))
    return args, applied


@pytest.mark.parametrize("argv, given", [
    (["live", "-"], {"command", "source"}),
    (["live", "-", "--tag-timeout", "5", "--no-fcs"], {"tag_timeout", "no_fcs"}),
    (["live", "-", "--tag-t", "5"], {"tag_timeout"}),  # an abbreviation
    (["live", "-", "--sigma=0.1", "--jsonl", "-"], {"sigma", "jsonl"}),
    (["replay", "x.qzcap", "--no-fcs", "--smooth"], {"check_fcs", "smooth"}),
    (["view", "x.qzcap", "--speed", "2"], {"speed"}),
])
def test_given_options(argv, given):
    found = given_options(cli.build_parser(), argv)
    assert given <= found
    assert not found & {"sigma", "baud", "handler", "mqtt", "no_truth"} - given


def test_given_options_leaves_the_parser_as_it_was():
    top = cli.build_parser()
    given_options(top, ["live", "-"])
    assert top.parse_args(["live", "-"]).tag_timeout == 10.0


def test_the_site_fills_what_the_command_line_left(tmp_path):
    site = site_with(tmp_path, """\
        sigma = 0.06
        tag_timeout = 20
        mqtt = "broker"
        topic-prefix = "hall"
        qos = 2
        fcs = true
        speed = 4.0      # view's: left to view
        """)
    args, applied = parsed(["live", "-", "--tag-timeout", "5"], site)
    assert (args.sigma, args.tag_timeout, args.mqtt, args.topic_prefix, args.qos) == \
        (0.06, 5.0, "broker", "hall", 2)
    assert args.fcs == frames.FCS_NAME
    assert applied == ["sigma", "mqtt", "topic_prefix", "qos", "fcs"]
    args, _ = parsed(["view", "x.qzcap"], site)
    assert args.speed == 4.0


def test_flags_and_alternatives(tmp_path):
    site = site_with(tmp_path, "no_truth = true\nsmooth = false\nno_fcs = true\n")
    args, applied = parsed(["replay", "x.qzcap"], site)
    assert (args.no_truth, args.smooth, args.check_fcs) == (True, False, False)
    assert applied == ["no_truth", "no_fcs"]
    # --fcs on the command line chose between the alternatives.
    args, applied = parsed(["replay", "x.qzcap", "--fcs"], site)
    assert args.check_fcs is True and applied == ["no_truth"]
    # live's --fcs and --no-fcs have destinations of their own.
    args, _ = parsed(["live", "-", "--no-fcs"], site_with(tmp_path, 'fcs = "crc"\n'))
    assert args.fcs is None and args.no_fcs is True


def test_paths_are_taken_from_the_site_files_folder(tmp_path):
    site = site_with(tmp_path, f'csv = "out/positions.csv"\nplot = "{tmp_path / "a.png"}"\n')
    args, _ = parsed(["replay", "x.qzcap"], site)
    assert args.csv == tmp_path / "out" / "positions.csv"
    assert args.plot == tmp_path / "a.png"
    args, _ = parsed(["replay", "x.qzcap", "--csv", "here.csv"], site)
    assert args.csv == Path("here.csv")


REFUSED = [
    ("sigma = -1", "live", "options.sigma: must be at least 0.0001 and at most 10, got -1"),
    ("sigma = 'x'", "live", "options.sigma: not a number: 'x'"),
    ("sigma = nan", "live", "options.sigma: must be at least 0.0001"),
    ("survey_samples = 10.5", "live", "options.survey_samples: not a whole number: '10.5'"),
    ("qos = 3", "live", "options.qos: invalid choice: 3 (choose from 0, 1, 2)"),
    ("mqtt = true", "live", "options.mqtt: takes a value, not true or false"),
    ("sigma = [0.1]", "live", "options.sigma: takes one value, not an array"),
    ("speed = 1979-05-27", "view", "options.speed: takes a string or a number"),
    ("smooth = 1", "replay", "options.smooth: is a flag: give true or false, not 1"),
    ("fcs = 1", "replay", "options.fcs: is a flag"),
    (
        "sigmaa = 0.1",
        "live",
        "options.sigmaa: not an option of replay, live, view, calibrate (did you mean sigma?)",
    ),
    ("help = true", "live", "options.help: not an option of"),
    ("site = 'other.toml'", "live", "options.site: not an option of"),
    ("fcs = true\nno_fcs = true", "replay", "options.no_fcs and options.fcs exclude each other"),
]


@pytest.mark.parametrize("options, command, message", REFUSED)
def test_bad_values_are_refused_with_their_line(tmp_path, options, command, message):
    site = site_with(tmp_path, options)
    line = 3 + options.count("\n")
    argv = [command, "-" if command == "live" else "x.qzcap"]
    with pytest.raises(SiteError) as caught:
        parsed(argv, site)
    assert caught.value.errors == [f"{tmp_path / 'site.toml'}:{line}: {message}"] or \
        any(e.startswith(f"{tmp_path / 'site.toml'}:{line}: {message}")
            for e in caught.value.errors), caught.value.errors
    assert any(message in e for e in check_options(site))


def test_a_value_for_another_command_is_checked_by_that_command(tmp_path):
    site = site_with(tmp_path, "speed = -2\nunit = 2\n")
    parsed(["live", "-"], site_with(tmp_path, "speed = 4\n"))  # view's option: no fault
    errors = check_options(site)
    assert errors[0].endswith(":3: options.speed: must be above 0 and at most 1e+06, got -2")
    # --unit belongs to replay and live alike; its fault is told once.
    assert [e for e in errors if "options.unit" in e] == \
        [f"{tmp_path / 'site.toml'}:4: options.unit: must be at least 1e-06 and at most 1, got 2"]


def test_options_of_several_values(tmp_path):
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", nargs=2, type=float)
    parser.add_argument("--names", nargs="+")
    parser.add_argument("--verbose", action="count", default=0)
    args = parser.parse_args([])
    site = site_with(tmp_path, "points = [1, 2.5]\nnames = 'one'\nverbose = true\n")
    apply_options(site, parser, args, set())
    assert (args.points, args.names, args.verbose) == ([1.0, 2.5], ["one"], 1)
    for text, message in [("points = [1]", "takes 2 values, got 1"),
                          ("names = []", "takes one or more values"),
                          ("points = [[1], [2]]", "takes plain values, not nested arrays"),
                          ("points = ['a', 1]", "invalid float value: 'a'")]:
        with pytest.raises(SiteError, match=message):
            apply_options(site_with(tmp_path, text), parser, parser.parse_args([]), set())
