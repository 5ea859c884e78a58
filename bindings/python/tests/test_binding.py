"""The ctypes declarations against the C header and the export list, the
library lookup, result texts, and the flag and filter helpers."""

import ctypes
import os
import random
import re

import pytest

import tessara_can
from tessara_can import _library, flags
from tessara_can.bus import gateway_filter_entries, parse_channel

from conftest import EXPORTS, HEADER, INSTALLED, LIBRARY

# C parameter type in the header -> the ctypes type the binding must use.
C_TYPES = {
    "int": ctypes.c_int,
    "unsigned int": ctypes.c_uint,
    "unsigned char": ctypes.c_ubyte,
    "int *": _library.P_INT,
    "const int *": _library.P_INT,
    "unsigned char *": _library.P_UBYTE,
    "unsigned short *": _library.P_USHORT,
    "char *": _library.P_CHAR,
    "const char *": ctypes.c_char_p,
    "void *": ctypes.c_void_p,
}
# In callbacks every data pointer is a pointer to char, read with its length
# (a C string would end at the first zero byte).
C_CALLBACK_TYPES = dict(C_TYPES, **{"const char *": _library.P_CHAR})


def _parameter_type(parameter):
    parameter = " ".join(parameter.split())
    match = re.match(r"^(.*?)\s*(\**)\s*\w+$", parameter)
    base, stars = match.group(1).strip(), match.group(2)
    return (base + " " + stars).strip() if stars else base


def _header():
    text = re.sub(r"/\*.*?\*/", "", open(HEADER).read(), flags=re.S)
    functions = {
        name: [_parameter_type(p) for p in params.split(",")] if params.strip() else []
        for name, params in re.findall(
            r"TESSARA_API\s+int\s+TESSARA_CALL\s+(\w+)\s*\(([^)]*)\)", text)}
    callbacks = {
        name: [_parameter_type(p) for p in params.split(",")]
        for name, params in re.findall(
            r"typedef\s+void\s*\(\s*TESSARA_CALLBACK\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)", text)}
    return functions, callbacks


class TestDeclarations:
    def test_every_function_of_the_header_with_its_argument_types(self):
        functions, _ = _header()
        assert len(functions) == 46
        assert set(_library.PROTOTYPES) == set(functions)
        for name, parameters in functions.items():
            restype, argtypes = _library.PROTOTYPES[name]
            assert restype is ctypes.c_int, name
            expected = [_library.CALLBACK_TYPES.get(p) or C_TYPES[p] for p in parameters]
            assert list(argtypes) == expected, name

    def test_callback_types_match_the_header(self):
        _, callbacks = _header()
        assert set(callbacks) == set(_library.CALLBACK_TYPES)
        for name, parameters in callbacks.items():
            c_type = _library.CALLBACK_TYPES[name]
            assert c_type._restype_ is None, name
            assert list(c_type._argtypes_) == [C_CALLBACK_TYPES[p] for p in parameters], name

    def test_argument_bytes_match_the_export_list(self):
        # The decorated names of the standard-convention build use these counts.
        exports = {}
        for line in open(EXPORTS):
            if line.strip() and not line.startswith("#"):
                name, size = line.split()
                exports[name] = int(size)
        assert exports == {name: 4 * len(argtypes)
                           for name, (_, argtypes) in _library.PROTOTYPES.items()}

    def test_the_loaded_library_has_every_function_typed(self):
        library = tessara_can.load_library()
        for name, (restype, argtypes) in _library.PROTOTYPES.items():
            function = getattr(library, name)
            assert function.argtypes == argtypes and function.restype is restype


class TestLibraryLookup:
    @pytest.mark.skipif(not INSTALLED, reason="for an installed wheel")
    def test_an_installed_wheel_loads_the_library_it_bundles(self):
        # the copy next to the package, not a library of the system or the build tree
        loaded = tessara_can.load_library().path
        assert os.path.realpath(loaded) == os.path.realpath(LIBRARY)
        assert os.path.dirname(os.path.realpath(loaded)) == \
            os.path.dirname(os.path.realpath(tessara_can.__file__))

    def test_environment_variable_alone_when_set(self, tmp_path):
        (tmp_path / "libTessaraCan.so.1").write_bytes(b"")
        assert _library.candidates({"TESSARA_CAN_LIBRARY": "/x/lib.so"}, str(tmp_path)) == \
            ["/x/lib.so"]

    def test_copy_next_to_the_package_before_the_system_path(self, tmp_path):
        (tmp_path / "libTessaraCan.so.1").write_bytes(b"")
        found = _library.candidates({}, str(tmp_path))
        assert found[0] == str(tmp_path / "libTessaraCan.so.1")
        assert found[-2:] == ["libTessaraCan.so.1", "libTessaraCan.so"]

    def test_a_missing_library_file_raises(self):
        with pytest.raises(OSError):
            _library.load("/nonexistent/libTessaraCan.so.1")


class TestTexts:
    @pytest.mark.parametrize("code, text", [
        (0, "no error"),
        (0x220, "CAN NACK (No Acknowledge)"),
        (0x2FF, "Tessara command failed"),
        (0xC0200, "Tessara TCP/IP telegram confirmation is invalid"),
        (0x2AB, "Unknown error code: 171"),
        (-1, "Unknown error code: -65281"),
    ])
    def test_error_message(self, code, text):
        assert tessara_can.error_message(code) == text

    def test_error_carries_code_message_and_function(self):
        error = tessara_can.TessaraError(0x224, "CANSetGlobals")
        assert (error.code, error.message, error.function) == (
            0x224, "CAN no valid baudrate", "CANSetGlobals")
        assert str(error) == "0x224: CAN no valid baudrate (CANSetGlobals)"
        assert not error.is_timeout and tessara_can.TessaraError(0x40000).is_timeout

    def test_dll_info(self):
        assert tessara_can.dll_info() == "Tessara CAN DLL V1.11-2.13"


class TestFlagsAndFilters:
    def test_filter_table_round_trip(self):
        entries = [(0x123, 0x7FF, False), (0x1ABCDEF0, 0x1FFFFF00, True)]
        table = flags.filter_table(entries)
        assert table[:4] == [0x80000123, 0x7FF, 0xDABCDEF0, 0x1FFFFF00]
        assert table[4:] == [0] * 12
        assert flags.decode_filter_table(table) == entries
        with pytest.raises(ValueError):
            flags.filter_table([(1, 1, False)] * 9)

    def test_filter_mapping_choices(self):
        assert gateway_filter_entries(None) is None
        # no "extended": one entry for each kind
        assert gateway_filter_entries([{"can_id": 0x10, "can_mask": 0x7F0}]) == [
            (0x10, 0x7F0, False), (0x10, 0x7F0, True)]
        assert gateway_filter_entries([{"can_id": 1, "can_mask": 1}] * 5) is None  # 10 entries
        # bits above the 29 identifier bits cannot be held by the gateway
        assert gateway_filter_entries([{"can_id": 0x20000100, "can_mask": 0x20000000,
                                        "extended": False}]) is None

    def test_gateway_filter_selects_what_python_can_selects(self):
        # The gateway's rule, as the gateway applies it to a frame.
        def gateway_passes(table, identifier, extended):
            used = [e for e in flags.decode_filter_table(table)]
            if not used:
                return True
            return any(kind == extended and (identifier ^ code) & mask == 0
                       for code, mask, kind in used)

        import can
        rng = random.Random(7)
        bus = can.Bus(interface="virtual", channel="filter-check")
        try:
            for _ in range(300):
                filters = []
                for _ in range(rng.randint(1, 4)):
                    f = {"can_id": rng.choice([rng.getrandbits(11), rng.getrandbits(29)]),
                         "can_mask": rng.choice([0x7FF, 0x700, 0x1FFFFFFF, rng.getrandbits(29)])}
                    if rng.random() < 0.6:
                        f["extended"] = rng.random() < 0.5
                    filters.append(f)
                entries = gateway_filter_entries(filters)
                if entries is None:
                    continue
                table = flags.filter_table(entries)
                bus.set_filters(filters)
                for _ in range(20):
                    extended = rng.random() < 0.5
                    identifier = rng.getrandbits(29 if extended else 11)
                    if rng.random() < 0.5:  # near a filter's identifier
                        identifier = filters[0]["can_id"] & (0x1FFFFFFF if extended else 0x7FF)
                    message = can.Message(arbitration_id=identifier, is_extended_id=extended)
                    assert gateway_passes(table, identifier, extended) == \
                        bus._matches_filters(message), (filters, hex(identifier), extended)
        finally:
            bus.shutdown()


class TestChannel:
    @pytest.mark.parametrize("channel, parsed", [
        ("127.0.0.1:3", ("127.0.0.1", 3)),
        ("gateway.local", ("gateway.local", 0)),
        ("[::1]:2", ("::1", 2)),
        ("::1", ("::1", 0)),
    ])
    def test_parse(self, channel, parsed):
        assert parse_channel(channel) == parsed

    @pytest.mark.parametrize("channel", ["host:100", "host:x", ":1"])
    def test_bad_channel(self, channel):
        with pytest.raises(ValueError):
            parse_channel(channel)
