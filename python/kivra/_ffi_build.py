"""Writes the C source of a cffi module of the kivra package (out-of-line API mode).

Run by the build with the interpreter the module is for::

    python _ffi_build.py OUTPUT.c HEADER...

The module is named after OUTPUT: ``_kivra_ffi.c`` gives ``kivra._kivra_ffi``
(libkivra), ``_kivra_bridge_ffi.c`` gives ``kivra._kivra_bridge_ffi``.

The headers are read as they are installed: preprocessor lines and the blocks
that only a C++ compiler sees are dropped, the rest is the cdef. The build
compiles OUTPUT.c against the headers and links it with libkivra, so the
module calls the library's functions directly, without a dlopen of its own.
"""

import os
import re
import sys

import cffi  # type: ignore[import]

_CONDITIONAL = re.compile(r"#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)")


def declarations(header_text: str) -> str:
    """The C declarations of a header, without preprocessor lines or C++ blocks."""
    kept = []
    # One entry per open conditional: whether it tests __cplusplus, and
    # whether its current branch is dropped.
    levels = []
    for line in header_text.splitlines():
        stripped = line.strip()
        match = _CONDITIONAL.match(stripped)
        if match:
            keyword, condition = match.group(1), match.group(2)
            if keyword in ("if", "ifdef"):
                about_cplusplus = "__cplusplus" in condition
                levels.append([about_cplusplus, about_cplusplus])
            elif keyword == "ifndef":
                about_cplusplus = "__cplusplus" in condition
                levels.append([about_cplusplus, False])
            elif keyword == "else" and levels[-1][0]:
                levels[-1][1] = not levels[-1][1]
            elif keyword == "endif":
                levels.pop()
            continue
        if stripped.startswith("#") or any(dropped for _, dropped in levels):
            continue
        kept.append(line)
    return "\n".join(kept)


def builder(headers: "list[str]", module: str = "_kivra_ffi") -> "cffi.FFI":
    ffi = cffi.FFI()
    for header in headers:
        with open(header, encoding="utf-8") as text:
            ffi.cdef(declarations(text.read()))
    includes = "".join('#include "kivra/%s"\n' % os.path.basename(h) for h in headers)
    ffi.set_source("kivra." + module, includes)
    return ffi


def main(argv: "list[str]") -> None:
    if len(argv) < 3:
        sys.exit("usage: _ffi_build.py OUTPUT.c HEADER...")
    output, headers = argv[1], argv[2:]
    module = os.path.splitext(os.path.basename(output))[0]
    builder(headers, module).emit_c_code(output)


if __name__ == "__main__":
    main(sys.argv)
