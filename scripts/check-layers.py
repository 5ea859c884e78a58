#!/usr/bin/env python3
"""Checks the include lines of src/ against the library's layer order.

Every file of src/ belongs to one layer (the table below, first match wins);
a file may include files of its own layer and of the levels beneath it,
never one of its own level's other layer or above. Platform code (transport/posix/, transport/win32/) is
included only by the platform code itself, and the public header only by
the layers that hand its types to applications. CONTRIBUTING.md describes
the same order in words.

Usage: scripts/check-layers.py [SRC_DIR]     (default: src next to this script)
       scripts/check-layers.py --self-test   (proves that a violation is caught)
Exit status 0 when every include holds, 1 with one line per violation.
"""
import os
import re
import sys
import tempfile

# (level, name, path prefixes); lower levels lie beneath higher ones.
LAYERS = [
    (0, "platform", ["transport/platform.h", "transport/posix/", "transport/win32/",
                     "transport/trace."]),
    (1, "wire format", ["protocol/telegram.", "protocol/commands.h"]),
    (2, "transport", ["transport/"]),
    (2, "time values", ["time/"]),
    (3, "request engine", ["protocol/"]),
    (4, "CAN commands", ["can/"]),
    (5, "incoming data", ["incoming/"]),
    (6, "library interface", ["api/"]),
    (7, "load and unload hooks", ["exports/"]),
]
PLATFORM_INTERNALS = ("transport/posix/", "transport/win32/")
# Headers each platform folder holds under the same name, found on the
# build's include path: only the platform contract includes them.
PLATFORM_CHOSEN = {"platform_mutex.h"}
PLATFORM_CONTRACT = "transport/platform.h"
PUBLIC_HEADER = "TessaraCan.h"
PUBLIC_HEADER_FROM = 5  # incoming data and above pass its callback types on

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    for level, name, prefixes in LAYERS:
        if any(path.startswith(p) for p in prefixes):
            return level, name
    return None


def check(src_dir):
    problems = []
    for root, _, files in os.walk(src_dir):
        for file_name in sorted(files):
            if not file_name.endswith((".h", ".cpp")):
                continue
            full = os.path.join(root, file_name)
            path = os.path.relpath(full, src_dir).replace(os.sep, "/")
            own = layer_of(path)
            if own is None:
                problems.append(f"{path}: in no layer (add its folder to scripts/check-layers.py)")
                continue
            with open(full, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    where = f"{path}:{number}: includes {target}"
                    if target == PUBLIC_HEADER:
                        if own[0] < PUBLIC_HEADER_FROM:
                            problems.append(f"{where}: the public header is for incoming/ and above")
                        continue
                    if target in PLATFORM_CHOSEN:
                        if path != PLATFORM_CONTRACT:
                            problems.append(f"{where}: only {PLATFORM_CONTRACT} includes it")
                        continue
                    other = layer_of(target)
                    if other is None:
                        problems.append(f"{where}: not a file of any layer")
                    elif other[0] > own[0] or (other[0] == own[0] and other[1] != own[1]):
                        problems.append(f"{where}: {own[1]} (level {own[0]}) may not use "
                                        f"{other[1]} (level {other[0]})")
                    elif target.startswith(PLATFORM_INTERNALS) and not path.startswith(
                            PLATFORM_INTERNALS):
                        problems.append(f"{where}: platform internals are used only behind "
                                        "transport/platform.h")
    return problems


def self_test():
    cases = {
        "transport/ok.cpp": ('#include "protocol/telegram.h"\n#include "transport/platform.h"\n',
                             0),
        "transport/up.cpp": ('#include "protocol/client.h"\n', 1),
        "protocol/telegram.cpp": ('#include "transport/ip_connection.h"\n', 1),
        "can/public.cpp": ('#include "TessaraCan.h"\n', 1),
        "api/inside.cpp": ('#include "transport/win32/win32_unload.h"\n', 1),
        "time/beside.cpp": ('#include "transport/tes_thread.h"\n', 1),
        "transport/platform.h": ('#include "platform_mutex.h"\n', 0),
        "transport/around.cpp": ('#include "platform_mutex.h"\n', 1),
        "tools/stray.cpp": ("", 1),
    }
    failed = False
    for path, (text, expected) in cases.items():
        with tempfile.TemporaryDirectory() as tree:
            os.makedirs(os.path.join(tree, os.path.dirname(path)))
            with open(os.path.join(tree, path), "w", encoding="utf-8") as f:
                f.write(text)
            found = len(check(tree))
        if found != expected:
            print(f"self-test: {path}: {found} problem(s), expected {expected}")
            failed = True
    return 1 if failed else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    src_dir = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    problems = check(src_dir)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
