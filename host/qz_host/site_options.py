"""A site's defaults for the commands' options, the ``[options]`` table.

Its keys are the long options of ``replay``, ``live``, ``view`` and
``calibrate`` without the leading dashes, with ``_`` or ``-`` between
words (``tag_timeout = 10.0`` for ``--tag-timeout 10``). A value is what
the command line would take: a string or a number for an option with a
value (converted and checked by that option's own type, so the file is
held to the command line's bounds), ``true`` for a flag (``false`` leaves
it off), an array for an option of several values. A relative path for an
option that takes a path is taken from the site file's folder.

What the command line gives wins: ``apply_options`` sets only the options
that ``given_options`` did not find in the arguments, and none of a group
of alternatives (``--fcs``/``--no-fcs``) when the command line chose one.
A key that is an option of another of these commands is left to that
command; one that is an option of none of them is an error.
"""

from __future__ import annotations

import argparse
import copy
import difflib
import functools
import importlib
from pathlib import Path, PurePath
from typing import Any, Collection, Dict, FrozenSet, List, Optional, Sequence

from .site import OptionValue, Site
from .site_file import SiteError

SITE_COMMANDS = ("replay", "live", "view", "calibrate")
# Options that make no sense as a site's default.
_NOT_FROM_A_SITE = frozenset({"help", "version", "site"})
_SKIP = object()  # a flag set to false: nothing to apply


class _Refused(Exception):
    """A value the option does not take; the message says why."""


def option_actions(parser: argparse.ArgumentParser) -> Dict[str, argparse.Action]:
    """The long options of `parser` by site key (``tag_timeout``)."""
    found: Dict[str, argparse.Action] = {}
    # argparse keeps its actions in _actions and offers no public listing.
    for action in parser._actions:
        if action.dest in _NOT_FROM_A_SITE or isinstance(action, argparse._SubParsersAction):
            continue
        for option in action.option_strings:
            if option.startswith("--"):
                found[option[2:].replace("-", "_")] = action
    return found


def given_options(parser: argparse.ArgumentParser,
                  argv: Optional[Sequence[str]]) -> FrozenSet[str]:
    """The destinations of the options that `argv` gives `parser` (and
    its subcommands), found by parsing it again with no defaults."""
    quiet = copy.deepcopy(parser)
    _suppress_defaults(quiet)
    return frozenset(vars(quiet.parse_args(argv)))


def _suppress_defaults(parser: argparse.ArgumentParser) -> None:
    parser._defaults.clear()  # set_defaults' values, the handlers among them
    for action in parser._actions:
        action.default = argparse.SUPPRESS
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                _suppress_defaults(sub)


@functools.lru_cache(maxsize=1)
def command_parsers() -> Dict[str, argparse.ArgumentParser]:
    """The parsers of the commands that take a site's options (those that
    exist), built as the command line builds them."""
    from . import commands

    top = argparse.ArgumentParser(add_help=False)
    sub = top.add_subparsers()
    for name in SITE_COMMANDS:
        if name in commands.NAMES:
            importlib.import_module(f"{commands.__name__}.{name}").register(sub)
    return {name: sub.choices[name] for name in SITE_COMMANDS if name in sub.choices}


def apply_options(site: Site, parser: argparse.ArgumentParser, args: argparse.Namespace,
                  given: Collection[str]) -> List[str]:
    """Sets in `args` each of the site's options that `parser` (the
    command's own) takes and `given` (see `given_options`) does not hold.
    Returns the keys applied; SiteError lists every value refused."""
    actions = option_actions(parser)
    errors: List[str] = []
    applied: List[str] = []
    plan = []
    for key, option in site.options.items():
        action = actions.get(key)
        if action is None:
            if not _known_elsewhere(key):
                errors.append(_unknown(site, option))
            continue
        if _chosen(parser, action, given):
            continue
        try:
            values = _convert(action, option.value, site.path.parent)
        except _Refused as refusal:
            errors.append(f"{site.path}:{option.line}: options.{option.key}: {refusal}")
            continue
        if values is not _SKIP:
            plan.append((key, option, action, values))
    errors.extend(_exclusions(site, parser, [(o, a) for _, o, a, _ in plan]))
    if errors:
        raise SiteError(errors)
    for key, option, action, values in plan:
        action(parser, args, values, "--" + key.replace("_", "-"))
        applied.append(key)
    return applied


def check_options(site: Site) -> List[str]:
    """Every fault of the site's options under every command that takes
    them, as "FILE:LINE: message" lines."""
    parsers = command_parsers()
    errors: List[str] = []
    for key, option in site.options.items():
        takers = [(name, option_actions(p)[key]) for name, p in parsers.items()
                  if key in option_actions(p)]
        if not takers:
            errors.append(_unknown(site, option))
            continue
        for name, action in takers:
            try:
                _convert(action, option.value, site.path.parent)
            except _Refused as refusal:
                message = f"{site.path}:{option.line}: options.{option.key}: {refusal}"
                if message not in errors:
                    errors.append(message)
    for parser in parsers.values():
        actions = option_actions(parser)
        taken = [(o, actions[k]) for k, o in site.options.items() if k in actions
                 and o.value is not False]
        for message in _exclusions(site, parser, taken):
            if message not in errors:
                errors.append(message)
    return errors


def _known_elsewhere(key: str) -> bool:
    return any(key in option_actions(p) for p in command_parsers().values())


def _unknown(site: Site, option: OptionValue) -> str:
    every = sorted({k for p in command_parsers().values() for k in option_actions(p)})
    close = difflib.get_close_matches(option.key.replace("-", "_"), every, n=1)
    hint = f" (did you mean {close[0]}?)" if close else ""
    names = ", ".join(command_parsers())
    return f"{site.path}:{option.line}: options.{option.key}: not an option of {names}{hint}"


def _groups(parser: argparse.ArgumentParser, action: argparse.Action) -> List[Any]:
    return [g for g in parser._mutually_exclusive_groups if action in g._group_actions]


def _chosen(parser: argparse.ArgumentParser, action: argparse.Action,
            given: Collection[str]) -> bool:
    """Whether the command line gave this option or one of its alternatives."""
    if action.dest in given:
        return True
    return any(other.dest in given for group in _groups(parser, action)
               for other in group._group_actions)


def _exclusions(site: Site, parser: argparse.ArgumentParser, taken) -> List[str]:
    """Faults of site options that are alternatives of one another."""
    errors = []
    for k, (option, action) in enumerate(taken):
        for other_option, other in taken[:k]:
            if any(other in g._group_actions for g in _groups(parser, action)):
                errors.append(f"{site.path}:{option.line}: options.{option.key} and "
                              f"options.{other_option.key} exclude each other")
    return errors


def _convert(action: argparse.Action, value: Any, folder: Path) -> Any:
    """The values to call `action` with for a site's TOML `value`."""
    if isinstance(value, dict):
        raise _Refused("a table is no option's value")
    if action.nargs == 0:
        if not isinstance(value, bool):
            raise _Refused(f"is a flag: give true or false, not {_shown(value)}")
        return [] if value else _SKIP
    if action.nargs == argparse.OPTIONAL and isinstance(value, bool):
        if not value:
            return _SKIP
        # As the command line does, a string const goes through the type.
        return _typed(action, action.const, folder) if isinstance(action.const, str) \
            else action.const
    if action.nargs in (None, argparse.OPTIONAL):
        if isinstance(value, list):
            raise _Refused("takes one value, not an array")
        return _typed(action, value, folder)
    items = value if isinstance(value, list) else [value]
    if action.nargs == argparse.ONE_OR_MORE and not items:
        raise _Refused("takes one or more values")
    if isinstance(action.nargs, int) and len(items) != action.nargs:
        raise _Refused(f"takes {action.nargs} values, got {len(items)}")
    return [_typed(action, item, folder) for item in items]


def _typed(action: argparse.Action, value: Any, folder: Path) -> Any:
    if isinstance(value, bool):
        raise _Refused("takes a value, not true or false")
    if isinstance(value, list):
        raise _Refused("takes plain values, not nested arrays")
    if isinstance(value, float):
        text = repr(value)
    elif isinstance(value, (int, str)):
        text = str(value)
    else:  # dates and times
        raise _Refused(f"takes a string or a number, not {_shown(value)}")
    kind: Any = action.type  # a callable: none of these commands names a registered type
    if kind is None:
        result: Any = text
    else:
        try:
            result = kind(text)
        except argparse.ArgumentTypeError as error:
            raise _Refused(str(error)) from None
        except (TypeError, ValueError):
            name = getattr(kind, "__name__", repr(kind))
            raise _Refused(f"invalid {name} value: {text!r}") from None
    if action.choices is not None and result not in action.choices:
        raise _Refused(f"invalid choice: {result!r} (choose from "
                       f"{', '.join(map(repr, action.choices))})")
    if isinstance(result, PurePath) and not result.is_absolute():
        result = type(result)(folder / result)
    return result


def _shown(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return "an array"
    return repr(value)
