"""Sphinx extension of this site: the module's API page from its stub, and every snippet as a doctest.

Snippets are plain Markdown fences, so that the pages read the same on a
forge as in the built site:

- a ``python`` fence runs as a test; a ``text`` fence right after it is the
  output it must print (``...`` matches anything); without one, it must print
  nothing;
- a ``pycon`` fence runs as a doctest (``>>>`` lines and their output);
- a ``c`` fence is a whole C program: it is compiled against the C interface
  and run with the emulated arm's port as its argument, its output compared
  with the ``text`` fence after it.

Every page's snippets run in order in one namespace, after the global setup
(``doctest_setup.py``, set in ``conf.py``): ``port`` is the port of an emulated arm.
"""

import contextlib
import glob
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import typing
from types import ModuleType
from typing import Any, Callable, Dict, Iterator, List, Optional

from docutils import nodes

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
STUB = os.path.join(REPO, "python", "KivraHardwareAPI.pyi")


# ---------------------------------------------------------------- the module's stub


@contextlib.contextmanager
def _stub_typing() -> Iterator[None]:
    """typing as a stub needs it when run: ``type_check_only`` (which exists
    only for type checkers) keeps its class, and ``overload`` collects the
    docstrings of every variant on the last one, which is what stays bound."""
    saved = {name: getattr(typing, name, None) for name in ("overload", "type_check_only")}
    docstrings: Dict[str, List[str]] = {}

    def overload(function: Callable[..., Any]) -> Callable[..., Any]:
        seen = docstrings.setdefault(function.__qualname__, [])
        if function.__doc__:
            seen.append(function.__doc__)
        function.__doc__ = "\n\n".join(seen) or None
        return function

    def type_check_only(cls: Any) -> Any:
        return cls

    type_check_only.__module__ = "typing"  # not a member of the stub's own
    setattr(typing, "overload", overload)
    setattr(typing, "type_check_only", type_check_only)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                delattr(typing, name)
            else:
                setattr(typing, name, value)


def load_stub(name: str = "KivraHardwareAPI") -> ModuleType:
    """The module's stub, run as a module of that name.

    Its loader serves the stub's source, so autodoc also reads the overloads
    and the defaults as written there."""
    loader = importlib.machinery.SourceFileLoader(name, STUB)
    found = importlib.util.spec_from_file_location(name, STUB, loader=loader)
    assert found is not None
    module = importlib.util.module_from_spec(found)
    with _stub_typing():
        loader.exec_module(module)
    return module


_displaced: List[Optional[ModuleType]] = []


def _stub_in(app: Any, env: Any, docnames: Any) -> None:
    # While pages are read, "KivraHardwareAPI" is the stub: its types and
    # texts are the module's declared interface.
    _displaced.append(sys.modules.get("KivraHardwareAPI"))
    sys.modules["KivraHardwareAPI"] = load_stub()


def _stub_out(app: Any, env: Any) -> None:
    # The doctests that follow the reading import the built module.
    if not _displaced:
        return
    previous = _displaced.pop()
    if previous is None:
        sys.modules.pop("KivraHardwareAPI", None)
    else:
        sys.modules["KivraHardwareAPI"] = previous


# ---------------------------------------------------------------- snippets as tests


def run_c_program(source: str, port: str) -> None:
    """Compiles source against the C interface and libkivra of the build, runs it with port, prints its output."""
    module_dir = os.environ.get("KIVRA_MODULE_DIR", os.path.join(REPO, "build", "pypy", "python"))
    libraries = sorted(glob.glob(os.path.join(module_dir, "kivra", "libkivra.so*")))
    if not libraries:
        raise FileNotFoundError("no libkivra in %s/kivra: build the package first" % module_dir)
    with tempfile.TemporaryDirectory() as folder:
        program_source = os.path.join(folder, "program.c")
        program = os.path.join(folder, "program")
        with open(program_source, "w") as out:
            out.write(source)
        subprocess.run(
            ["cc", "-Wall", "-Wextra", "-Werror", "-I", os.path.join(REPO, "capi", "include"),
             program_source, libraries[0], "-Wl,-rpath," + os.path.dirname(libraries[0]), "-o", program],
            check=True,
        )
        done = subprocess.run([program, port], capture_output=True, text=True, timeout=30)
    sys.stdout.write(done.stdout)
    if done.returncode != 0:
        raise RuntimeError("the program exited with status %d: %s" % (done.returncode, done.stderr.strip()))


def _mark_snippets(app: Any, doctree: nodes.document) -> None:
    blocks = list(doctree.findall(nodes.literal_block))
    for index, block in enumerate(blocks):
        language = block.get("language", "")
        if "testnodetype" in block or "source" in block:
            continue  # a doctest directive of its own, or a file included as it is (built and tested elsewhere)
        if language == "pycon":
            block["testnodetype"] = "doctest"
        elif language in ("python", "c"):
            block["testnodetype"] = "testcode"
            if language == "c":
                block["test"] = "from kivra_docs import run_c_program\nrun_c_program(%r, port)\n" % block.astext()
            following = blocks[index + 1] if index + 1 < len(blocks) else None
            if (following is not None and following.get("language") == "text"
                    and following.parent is block.parent
                    and block.parent.index(following) == block.parent.index(block) + 1):
                following["testnodetype"] = "testoutput"
                following["groups"] = ["default"]
                following["options"] = {}
        else:
            continue
        block["groups"] = ["default"]
        block["options"] = {}


def _drop_field_aliases(app: Any, what: str, name: str, obj: Any, options: Any, lines: List[str]) -> None:
    # A named tuple's fields say "Alias for field number N", which tells the reader nothing.
    if lines and lines[0].startswith("Alias for field number") and not any(lines[1:]):
        del lines[:]


def setup(app: Any) -> Dict[str, Any]:
    app.connect("autodoc-process-docstring", _drop_field_aliases)
    app.connect("env-before-read-docs", _stub_in)
    app.connect("env-updated", _stub_out)
    app.connect("doctree-read", _mark_snippets)
    return {"version": "1", "parallel_read_safe": False}
