"""The shape of qz_host: no import circle between its modules, no module
reaching into another for its private names, every command registered the
same way and named in the package's and the command line's docstrings."""

import ast
from pathlib import Path

import pytest

import qz_host
from qz_host import cli, commands

PACKAGE = Path(qz_host.__file__).resolve().parent


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def modules():
    return {module_name(path): path for path in PACKAGE.rglob("*.py")}


def resolve(importer, node):
    """The qz_host modules an import statement in `importer` names."""
    package = importer if importer in ("qz_host", "qz_host.commands", "qz_host.web") \
        else importer.rpartition(".")[0]
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names if alias.name.startswith("qz_host")]
    base = node.module or ""
    if node.level:
        anchor = package.split(".")
        anchor = anchor[:len(anchor) - (node.level - 1)]
        base = ".".join(anchor + ([base] if base else []))
    if not base.startswith("qz_host"):
        return []
    known = modules()
    # `from . import x` imports the module x; `from .x import y` the module x.
    found = [f"{base}.{alias.name}" for alias in node.names if f"{base}.{alias.name}" in known]
    return found or [base]


def import_graph():
    graph = {}
    for name, path in modules().items():
        tree = ast.parse(path.read_text())
        targets = set()
        for node in ast.walk(tree):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                if isinstance(node, ast.ImportFrom) and _type_checking_only(tree, node):
                    continue
                targets.update(t for t in resolve(name, node) if t != name)
        graph[name] = targets
    return graph


def _type_checking_only(tree, target):
    for node in ast.walk(tree):
        if (isinstance(node, ast.If) and isinstance(node.test, ast.Name)
                and node.test.id == "TYPE_CHECKING" and target in ast.walk(node)):
            return True
    return False


def test_no_module_imports_another_in_a_circle():
    graph = import_graph()
    # Packages import their own modules lazily for registration; a package
    # importing its children is not a circle through them.
    def edges(name):
        return {t for t in graph.get(name, ()) if not t.startswith(name + ".")}

    state = {}
    path = []

    def visit(name):
        state[name] = "open"
        path.append(name)
        for target in sorted(edges(name)):
            if state.get(target) == "open":
                cycle = path[path.index(target):] + [target]
                pytest.fail("import circle: " + " -> ".join(cycle))
            if target not in state:
                visit(target)
        path.pop()
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name)


def test_no_module_reaches_into_another_for_private_names():
    offences = []
    for name, path in modules().items():
        tree = ast.parse(path.read_text())
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and (node.level or (node.module or "")
                                                     .startswith("qz_host")):
                offences += [f"{name}: from {node.module} import {alias.name}"
                             for alias in node.names
                             if alias.name.startswith("_") and alias.name != "__version__"]
    assert offences == []


def test_every_command_registers_alike_and_is_documented():
    parser = cli.build_parser()
    choices = parser._subparsers._group_actions[0].choices  # argparse keeps them here
    assert list(choices) == list(commands.NAMES)
    for name in commands.NAMES:
        assert callable(choices[name].get_default("handler")), name
        assert f"``{name}``" in qz_host.__doc__, name
        assert f"qz-host {name}" in cli.__doc__, name
        assert f"    {name} " in commands.__doc__, name
