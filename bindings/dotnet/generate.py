#!/usr/bin/env python3
"""Writes src/Native.g.cs, the P/Invoke layer of the .NET binding, from the
C header (prototypes and callback types) and the export list (names and the
argument bytes of the decorated names).

    bindings/dotnet/generate.py            rewrite src/Native.g.cs
    bindings/dotnet/generate.py --check    exit 1 when the file is not current

One C# image of the 46 functions is written four times, once per library
file: the entry points differ only in file name, calling convention and, in
TessaraCanVB6.dll, the decorated name. Parameters keep the header's names;
the C# type of each is decided here, from the C type and, for pointers, from
whether the header means an array, a single output or an in-out value.
"""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
HEADER = os.path.join(REPO, "include", "TessaraCan.h")
EXPORTS = os.path.join(REPO, "src", "exports", "exports.txt")
OUTPUT = os.path.join(HERE, "src", "Native.g.cs")

# Pointer parameters that are arrays or buffers rather than one value.
ARRAYS = {
    "pFilterTable", "pValues", "pPowerValues", "pPowerFlagsA", "pPowerFlagsB", "pData",
    "pBuffer", "pInfoRecord",
}
# Pointers read and written by the library.
IN_OUT = {("CANReadAnalog", "pCount")}

SCALARS = {"int": "int", "unsigned int": "uint", "unsigned char": "byte"}
POINTEES = {"int": "int", "char": "byte", "unsigned char": "byte", "unsigned short": "ushort",
            "void": "byte"}

# (class name, library file, calling convention, decorated names, summary)
LIBRARIES = [
    ("LinuxLibrary", "libTessaraCan.so.1", "Cdecl", False,
     "libTessaraCan.so.1 on Linux: the platform's single convention."),
    ("CdeclLibrary", "TessaraCan.dll", "Cdecl", False,
     "TessaraCan.dll, 32-bit Windows: C convention (the caller removes the arguments),\n"
     "    /// undecorated names."),
    ("StdcallLibrary", "TessaraCanVB6.dll", "StdCall", True,
     "TessaraCanVB6.dll, 32-bit Windows: standard convention (the callee removes the\n"
     "    /// arguments), names decorated as _Name@N with N the argument bytes."),
    ("Win64Library", "TessaraCan64.dll", "Cdecl", False,
     "TessaraCan64.dll, 64-bit Windows: the platform's single convention."),
]


def parse_header(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)

    def params(body):
        out = []
        for raw in body.split(","):
            raw = " ".join(raw.split())
            if not raw:
                continue
            match = re.match(r"^(const\s+)?(.*?)\s*(\**)\s*(\w+)$", raw)
            const, base, stars, name = match.groups()
            out.append((bool(const), base.strip(), len(stars), name))
        return out

    functions = [(name, params(body)) for name, body in re.findall(
        r"TESSARA_API\s+int\s+TESSARA_CALL\s+(\w+)\s*\(([^)]*)\)", text)]
    callbacks = [(name, params(body)) for name, body in re.findall(
        r"typedef\s+void\s*\(\s*TESSARA_CALLBACK\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)", text)]
    return functions, callbacks


def parse_exports(text):
    exports = {}
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            name, size = line.split()
            exports[name] = int(size)
    return exports


def function_parameter(function, const, base, stars, name, callback_names):
    """The C# text of one parameter of an exported function."""
    if stars == 0:
        if base in callback_names:
            return "%s %s" % (base, name)
        return "%s %s" % (SCALARS[base], name)
    if stars != 1:
        raise SystemExit("%s: %s: unexpected pointer depth" % (function, name))
    if base == "char" and const and name == "pAddress":
        return "[MarshalAs(UnmanagedType.LPStr)] string %s" % name
    pointee = POINTEES[base]
    if name in ARRAYS:
        return "%s %s[] %s" % ("[In]" if const else "[In, Out]", pointee, name)
    if const:
        raise SystemExit("%s: %s: a const pointer that is no array" % (function, name))
    if (function, name) in IN_OUT:
        return "ref %s %s" % (pointee, name)
    return "out %s %s" % (pointee, name)


def callback_parameter(base, stars, name):
    # Data pointers are valid only during the call: the layer above copies
    # them with the length argument.
    if stars:
        return "IntPtr " + name
    return "%s %s" % (SCALARS[base], name)


def argument_name(parameter):
    words = parameter.replace("[MarshalAs(UnmanagedType.LPStr)] ", "").split()
    name = words[-1]
    return ("%s %s" % (words[0], name)) if words[0] in ("out", "ref") else name


def generate():
    with open(HEADER, encoding="utf-8") as f:
        functions, callbacks = parse_header(f.read())
    with open(EXPORTS, encoding="utf-8") as f:
        exports = parse_exports(f.read())
    names = [name for name, _ in functions]
    if sorted(names) != sorted(exports):
        raise SystemExit("header and export list disagree: %s"
                         % sorted(set(names) ^ set(exports)))
    callback_names = {name for name, _ in callbacks}
    for name, params in functions:
        if 4 * len(params) != exports[name]:
            raise SystemExit("%s: %d arguments, %d bytes in the export list"
                             % (name, len(params), exports[name]))

    signatures = [(name, [function_parameter(name, c, b, s, p, callback_names)
                          for c, b, s, p in params]) for name, params in functions]
    out = []
    w = out.append
    w("// Native.g.cs: P/Invoke declarations of the library's 46 functions and seven")
    w("// callback types; the binding's lowest layer. Written by generate.py from")
    w("// include/TessaraCan.h and src/exports/exports.txt: edit those, not this file.")
    w("using System;")
    w("using System.Runtime.InteropServices;")
    w("")
    w("namespace Tessara.Can")
    w("{")
    w("    // Callbacks run on the connection's receive thread. Both 32-bit Windows")
    w("    // builds call them with the standard convention, whichever convention their")
    w("    // entry points use; elsewhere there is one convention and this is ignored.")
    for name, params in callbacks:
        w("    [UnmanagedFunctionPointer(CallingConvention.StdCall)]")
        w("    public delegate void %s(%s);" % (name, ", ".join(
            callback_parameter(b, s, p) for _, b, s, p in params)))
    w("")
    w("    /// <summary>The 46 functions of one library file, as instance methods, so")
    w("    /// that the layer above runs unchanged on every build.</summary>")
    w("    public interface ITessaraApi")
    w("    {")
    w("        /// <summary>The library file the methods call into.</summary>")
    w("        string LibraryName { get; }")
    for name, params in signatures:
        w("        int %s(%s);" % (name, ", ".join(params)))
    w("    }")
    for cls, library, convention, decorated, summary in LIBRARIES:
        w("")
        w("    /// <summary>%s</summary>" % summary)
        w("    public sealed class %s : ITessaraApi" % cls)
        w("    {")
        w("        public const string FileName = \"%s\";" % library)
        w("        public string LibraryName { get { return FileName; } }")
        w("")
        w("        /// <summary>The entry points themselves. A delegate passed here directly")
        w("        /// must be kept alive by the caller for as long as it is set.</summary>")
        w("        public static class Native")
        w("        {")
        for name, params in signatures:
            entry = "_%s@%d" % (name, exports[name]) if decorated else name
            w("            [DllImport(FileName, EntryPoint = \"%s\", CallingConvention = "
              "CallingConvention.%s, ExactSpelling = true)]" % (entry, convention))
            w("            public static extern int %s(%s);" % (name, ", ".join(params)))
        w("        }")
        w("")
        for name, params in signatures:
            w("        public int %s(%s)" % (name, ", ".join(params)))
            w("        {")
            w("            return Native.%s(%s);" % (name, ", ".join(
                argument_name(p) for p in params)))
            w("        }")
        w("    }")
    w("}")
    return "\n".join(out) + "\n"


def main():
    text = generate()
    if sys.argv[1:] == ["--check"]:
        current = open(OUTPUT, encoding="utf-8").read() if os.path.exists(OUTPUT) else ""
        if current != text:
            print("%s is not current: run %s" % (os.path.relpath(OUTPUT, REPO),
                                                 os.path.relpath(__file__, REPO)))
            return 1
        return 0
    os.makedirs(os.path.dirname(OUTPUT), exist_ok=True)
    with open(OUTPUT, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
