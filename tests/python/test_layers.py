"""The kivra package in two layers: the library, and kivra.tools above it.

Read from the installed sources, so the rule holds for what users get: no
module imports the command, the library never imports its tools, imports
form no cycle, and ``import kivra`` loads no HTTP server."""

import ast
import os
import subprocess
import sys

import pytest

from conftest import _MODULE_DIR

kivra = pytest.importorskip("kivra")
PACKAGE = os.path.dirname(kivra.__file__)


def modules():
    found = {}
    for folder, _, files in os.walk(PACKAGE):
        for name in files:
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                dotted = os.path.relpath(path, os.path.dirname(PACKAGE))[:-3].replace(os.sep, ".")
                found[dotted[: -len(".__init__")] if dotted.endswith(".__init__") else dotted] = path
    return found


def imports_of(name, path):
    """The kivra modules that module `name` imports at its top level (not inside functions)."""
    package = name if path.endswith("__init__.py") else name.rpartition(".")[0]
    found = set()
    with open(path, encoding="utf-8") as source:
        tree = ast.parse(source.read())
    for node in tree.body:
        if isinstance(node, ast.ImportFrom):
            base = package
            for _ in range(node.level - 1):
                base = base.rpartition(".")[0]
            target = (base + "." + node.module if node.module else base) if node.level else node.module
            found.add(target)
            found.update(target + "." + alias.name for alias in node.names)
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
    return {target for target in found if target in MODULES and target != name}


MODULES = modules()
GRAPH = {name: imports_of(name, path) for name, path in MODULES.items()}


def test_no_module_imports_the_command_and_the_library_not_its_tools():
    # `python -m kivra` is the command's entry, as the console script is.
    entries = {"kivra.__main__"}
    command = [name for name, targets in GRAPH.items() if "kivra.tools.cli" in targets and name not in entries]
    library_to_tools = [
        (name, target)
        for name, targets in GRAPH.items()
        if not name.startswith("kivra.tools") and name not in entries
        for target in targets
        if target.startswith("kivra.tools")
    ]
    assert "kivra.tools.cli" in MODULES and command == [] and library_to_tools == []


def test_imports_form_no_cycle():
    # A package assembling its own submodules is how packages are built; any
    # edge back from a submodule to its package would close a real cycle.
    edges = {name: {t for t in targets if not t.startswith(name + ".")} for name, targets in GRAPH.items()}
    state = {}

    def visit(name, path):
        state[name] = "open"
        for target in sorted(edges[name]):
            if state.get(target) == "open":
                return path + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[name] = "done"
        return None

    cycles = [visit(name, [name]) for name in sorted(edges) if name not in state]
    assert [c for c in cycles if c] == []


def test_importing_kivra_loads_no_http_server_and_every_module_imports():
    script = (
        "import importlib, sys, kivra\n"
        "assert 'http.server' not in sys.modules, 'http.server'\n"
        "for name in sys.argv[1:]: importlib.import_module(name)\n"
        "print('ok')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.path.abspath(_MODULE_DIR))
    result = subprocess.run(
        # __main__ runs the command when imported.
        [sys.executable, "-c", script, *sorted(name for name in MODULES if not name.endswith("__main__"))],
        env=env,
        cwd=os.path.abspath(_MODULE_DIR),
        capture_output=True,
        text=True,
    )
    assert result.stdout == "ok\n", result.stderr
