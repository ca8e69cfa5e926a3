"""Writes the Python snippets of the documentation as modules, for mypy --strict.

    python3 scripts/doc_snippets.py OUT_DIR

Each page of docs/ becomes one module, its snippets in order after the
doctests' global setup (docs/_ext/doctest_setup.py), as the doctests run
them: ``python`` fences whole, ``pycon`` fences by their ``>>>`` and ``...``
lines. Each ``python`` fence of README.md is a module of its own (they are
whole programs). Fails on a fence of a Python dialect that the doctests
would not run (say ``py``), and on a file of examples/ that the examples'
page does not name.
"""

import glob
import os
import re
import sys
from typing import List, Tuple

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(REPO, "docs")
FENCE = re.compile(r"^```(\S*)[^\n]*\n(.*?)^```[ \t]*$", re.S | re.M)
TESTED = ("python", "pycon")
UNTESTED_PYTHON = ("py", "python3", "ipython", "ipython3", "pycon3", "pytb")


def fences(text: str) -> List[Tuple[str, str]]:
    """(language, body) of every fenced block, in order."""
    return [(match.group(1), match.group(2)) for match in FENCE.finditer(text)]


def console_code(body: str) -> str:
    """The source lines of a pycon block, without prompts or output."""
    lines = []
    for line in body.splitlines():
        if line.startswith((">>> ", "... ")):
            lines.append(line[4:])
        elif line in (">>>", "..."):
            lines.append("")
    return "\n".join(lines) + "\n"


def page_module(text: str, setup: str) -> str:
    parts = [setup]
    for language, body in fences(text):
        if language == "python":
            parts.append(body)
        elif language == "pycon":
            parts.append(console_code(body))
    return "\n".join(parts)


def main(out_dir: str) -> int:
    problems = []
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(DOCS, "_ext", "doctest_setup.py")) as setup_file:
        setup = setup_file.read()
    pages = sorted(glob.glob(os.path.join(DOCS, "**", "*.md"), recursive=True))
    for page in pages:
        with open(page) as source:
            text = source.read()
        name = os.path.relpath(page, DOCS)
        problems += ["%s: a %r fence is not run; write python or pycon" % (name, language)
                     for language, _ in fences(text) if language in UNTESTED_PYTHON]
        if any(language in TESTED for language, _ in fences(text)):
            module = re.sub(r"\W", "_", name[:-3])
            with open(os.path.join(out_dir, "docs_%s.py" % module), "w") as out:
                out.write(page_module(text, setup))
    with open(os.path.join(REPO, "README.md")) as readme:
        for index, (language, body) in enumerate(fences(readme.read())):
            if language == "python":
                with open(os.path.join(out_dir, "readme_%d.py" % index), "w") as out:
                    out.write(body)
            elif language in UNTESTED_PYTHON + ("pycon",):
                problems.append("README.md: a %r fence is not run; write python" % language)
    with open(os.path.join(DOCS, "examples.md")) as index_page:
        named = index_page.read()
    for example in sorted(glob.glob(os.path.join(REPO, "examples", "*.py")) +
                          glob.glob(os.path.join(REPO, "examples", "*.c"))):
        if "`%s`" % os.path.basename(example) not in named:
            problems.append("docs/examples.md does not name examples/%s" % os.path.basename(example))
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: %s OUT_DIR" % sys.argv[0])
    sys.exit(main(sys.argv[1]))
