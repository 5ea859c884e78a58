#!/usr/bin/env python3
"""Checks the API reference in the public header: every exported function
(src/exports/exports.txt) and every callback type is declared there with a
documentation comment that has a brief text, documents each parameter by name
(pointers the function writes through marked [out] or [in,out]) and, for
functions, states what it returns.

    check_header_docs.py HEADER EXPORTS
Exit status 0 when everything is documented, 1 with one line per fault."""

import re
import sys

CALLBACK_TYPES = {"CanFrameCallback", "CanFrameCallbackEx", "PdoCallback", "SyncCallback",
                  "EmcyCallback", "GuardCallback", "UndefinedCallback"}

DECLARATION = re.compile(
    r"/\*\*(?P<doc>(?:(?!\*/).)*)\*/\s*"
    r"(?:TESSARA_API\s+int\s+TESSARA_CALL\s+(?P<function>\w+)"
    r"|typedef\s+void\s*\(\s*TESSARA_CALLBACK\s*\*\s*(?P<callback>\w+)\s*\))"
    r"\s*\((?P<params>[^)]*)\)\s*;",
    re.S)
ANY_FUNCTION = re.compile(r"TESSARA_API\s+int\s+TESSARA_CALL\s+(\w+)\s*\(")
ANY_CALLBACK = re.compile(r"typedef\s+void\s*\(\s*TESSARA_CALLBACK\s*\*\s*(\w+)\s*\)")
PARAM_DOC = re.compile(r"@param(?:\[(in|out|in,\s*out)\])?\s+(\w+)")


def parameters(text):
    """(name, is_output) for each parameter of a declaration's list."""
    result = []
    for part in text.split(","):
        part = " ".join(part.split())
        if not part or part == "void":
            continue
        name = re.search(r"(\w+)$", part).group(1)
        pointer = "*" in part
        result.append((name, pointer and not part.startswith("const ")))
    return result


def check_entry(name, doc, params, is_function, faults):
    if not re.search(r"@brief\s+\S", doc):
        faults.append("%s: no @brief" % name)
    documented = {}
    for direction, pname in PARAM_DOC.findall(doc):
        if pname in documented:
            faults.append("%s: parameter %s documented twice" % (name, pname))
        documented[pname] = direction.replace(" ", "")
    names = [p for p, _ in params]
    for pname, is_output in params:
        if pname not in documented:
            faults.append("%s: parameter %s not documented" % (name, pname))
        elif is_function and is_output and documented[pname] not in ("out", "in,out"):
            # Every non-const pointer of a function is written through.
            faults.append("%s: output %s not marked [out]" % (name, pname))
    for pname in documented:
        if pname not in names:
            faults.append("%s: @param %s names no parameter" % (name, pname))
    if is_function and not re.search(r"@(return|retval)\s+\S", doc):
        faults.append("%s: no @return or @retval" % name)


def main(header_path, exports_path):
    with open(exports_path) as f:
        exports = [line.split()[0] for line in f if line.strip() and not line.startswith("#")]
    with open(header_path) as f:
        header = f.read()
    faults = []
    if len(exports) != len(set(exports)):
        faults.append("exports.txt lists a name twice")

    documented = {}
    for m in DECLARATION.finditer(header):
        name = m.group("function") or m.group("callback")
        documented[name] = m
    declared_functions = set(ANY_FUNCTION.findall(header))
    declared_callbacks = set(ANY_CALLBACK.findall(header))

    for name in exports:
        if name not in declared_functions:
            faults.append("%s: exported but not declared in the header" % name)
        elif name not in documented:
            faults.append("%s: declared without a documentation comment" % name)
    for name in sorted(declared_functions - set(exports)):
        faults.append("%s: declared in the header but not exported" % name)
    for name in sorted(CALLBACK_TYPES):
        if name not in declared_callbacks:
            faults.append("%s: callback type not declared" % name)
        elif name not in documented:
            faults.append("%s: callback type without a documentation comment" % name)
    for name in sorted(declared_callbacks - CALLBACK_TYPES):
        if name not in documented:
            faults.append("%s: callback type without a documentation comment" % name)

    for name, m in documented.items():
        check_entry(name, m.group("doc"), parameters(m.group("params")),
                    m.group("function") is not None, faults)

    for fault in faults:
        print(fault)
    print("%d functions, %d callback types documented; %d faults"
          % (len([n for n in documented if n in declared_functions]),
             len([n for n in documented if n in declared_callbacks]), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
