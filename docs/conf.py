"""Sphinx configuration of the documentation site (bash scripts/docs.sh builds and checks it).

Pages are MyST Markdown. The API pages come from the docstrings of the built
``kivra`` package, found in $KIVRA_MODULE_DIR (as for the tests; by default
build/cpython/python, since Sphinx runs under Debian's CPython), and from the
module's stub ``python/KivraHardwareAPI.pyi`` (see ``_ext/kivra_docs.py``).
Nothing is downloaded: no intersphinx.
"""

import os
import sys

DOCS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(DOCS)
MODULE_DIR = os.path.abspath(os.environ.get("KIVRA_MODULE_DIR") or os.path.join(REPO, "build", "cpython", "python"))
sys.path.insert(0, os.path.join(DOCS, "_ext"))
sys.path.insert(0, MODULE_DIR)

try:
    import kivra
except ImportError as error:
    raise SystemExit("kivra is not importable from %s (%s): build it, or set KIVRA_MODULE_DIR" % (MODULE_DIR, error))

project = "kivra"
author = "the kivra developers"
copyright = "the kivra developers"
release = version = kivra.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.doctest", "kivra_docs"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_ext"]
myst_heading_anchors = 3
html_theme = "alabaster"
html_title = "kivra %s" % release

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True

# Every page's snippets run against an emulated arm (scripts/docs.sh sets
# KIVRA_EMULATOR to the built emulator).
with open(os.path.join(DOCS, "_ext", "doctest_setup.py")) as _setup:
    doctest_global_setup = _setup.read()
doctest_global_cleanup = "emulator.close()\n"
