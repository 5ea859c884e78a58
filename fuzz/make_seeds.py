#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
the protocol's worked byte examples. Run it again after changing an input
layout of an entry (see the header comments of fuzz/*_entry.cpp)."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def telegram(command, tid, data=b""):
    body = struct.pack("<HH", command, tid) + bytes(data)
    checksum = 0
    for b in body:
        checksum ^= b
    return struct.pack("<H", len(data) + 5) + body + bytes([checksum])


def frame(identifier, flags, data, stamp=None):
    payload = struct.pack("<IB", identifier, flags) + bytes(data)
    if stamp is not None:
        payload += struct.pack("<II", *stamp)
    return payload


def write(target, name, content):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(content)


def receive_seeds():
    # Header: flags (bit 0 link control, bit 1 datagrams, bits 2-3 chunks,
    # bit 4 switch halfway), callback mask, queue maximum, chunk seed.
    info_conf = bytes.fromhex("0600098202000089")
    connect_conf = bytes.fromhex("0600018201000082")
    disconnect_req = bytes.fromhex("05000202000000")
    alive_req = bytes.fromhex("09000D020000D0070000D8")
    digital_conf = bytes.fromhex("0E0040820500" "000F00000003000000" "CB")
    frame3 = telegram(0x0203, 0, frame(0x12345678, 0x00, b"\x01\x02\x03"))
    frame3_stamp = telegram(0x0203, 0, frame(0x12345678, 0x04, b"\x01\x02\x03", (10000, 1000000)))
    frame64 = telegram(0x0203, 0, frame(0x7FF, 0x00, bytes(range(64))))
    frame65 = telegram(0x0203, 0, frame(0x7FF, 0x00, bytes(range(65))))
    emcy = telegram(0x0266, 0, bytes.fromhex("051081110102030405"))
    emcy_high = telegram(0x0266, 0, bytes.fromhex("059050110102030405"))
    pdo12 = telegram(0x0267, 0, bytes([5, 1, 12]) + bytes(range(12)))
    pdo_short = telegram(0x0267, 0, bytes([5, 1, 12, 0xAA]))
    sync = telegram(0x0264, 0, b"\x07")
    guard = telegram(0x026C, 0, b"\x05\x7F")
    undefined = telegram(0x026D, 0, frame(0x181, 0x04, b"\x01\x02\x03", (5, 6)))
    undefined_plain = telegram(0x026D, 0, frame(0x181, 0x00, b"\x01\x02\x03"))
    indications = frame3 + frame3_stamp + frame64 + frame65 + emcy + emcy_high + pdo12 + \
        pdo_short + sync + guard + undefined + undefined_plain
    confirmations = info_conf + digital_conf + telegram(0x8223, 2, b"\x21") + \
        telegram(0x8223, 2, b"\x00") + telegram(0x8224, 3, b"\x00")
    link = connect_conf + disconnect_req + alive_req + telegram(0x020D, 0, b"\x00\x00\x00\x00") + \
        telegram(0x020D, 0, b"\x01") + telegram(0x820D, 0, b"\x00") + telegram(0x0201, 1, b"")

    write("receive", "indications_queued", bytes([0x00, 0x00, 0x02, 0x11]) + indications)
    write("receive", "indications_callbacks", bytes([0x04, 0x7F, 0x00, 0x22]) + indications)
    write("receive", "indications_plain_callback_split_bytes", bytes([0x00, 0x3F, 0x10, 0x33]) + indications)
    write("receive", "indications_switch_halfway", bytes([0x18, 0x7F, 0xFF, 0x44]) + indications)
    write("receive", "confirmations", bytes([0x05, 0x00, 0x00, 0x55]) + confirmations)
    write("receive", "link_control_on", bytes([0x05, 0x00, 0x01, 0x66]) + link + indications)
    write("receive", "link_control_off", bytes([0x04, 0x00, 0x01, 0x66]) + link + indications)
    write("receive", "datagrams", bytes([0x07, 0x7F, 0x01, 0x77]) + indications + confirmations)
    # Length fields 65533..65535 (totals 65535..65537), then a small frame.
    big = b""
    for length_field in (65533, 65534, 65535):
        t = bytearray([0x5A]) * (length_field + 2)
        t[0:4] = struct.pack("<HH", length_field, 0x0203)
        big += bytes(t)
    write("receive", "largest_telegrams", bytes([0x08, 0x00, 0x01, 0x01]) + big + frame3)
    many = b"".join(telegram(0x0203, i, bytes([i & 0xFF, 0, 0, 0, 0, 9])) for i in range(500))
    write("receive", "many_frames_one_segment", bytes([0x0C, 0x00, 0x80, 0x02]) + many)
    write("receive", "short_and_garbage", bytes([0x01, 0x7F, 0x05, 0x03]) +
          b"\x00\x00\x01\x00\x05\x00\x03\x02" + frame3 + b"\xff")


def confirmation_seeds():
    # Header: command index, mode, two parameters; then the confirmation data.
    names = ["set_config", "set_globals", "get_globals", "set_filter", "get_filter", "set_time",
             "get_time", "get_powerstatus", "set_powerrelais", "set_activepowersupplies", "write",
             "canopen_set_config", "canopen_get_config", "sync_mode", "nmt", "sync", "time", "pdo",
             "sdo_read", "sdo_write", "sdo_write_block", "sdo_read_block", "info", "status",
             "read_digital", "write_digital", "read_analog", "write_analog", "restart"]
    index = {n: i for i, n in enumerate(names)}
    seeds = {
        "get_globals": bytes([0, 3]) + struct.pack("<I", 500) + bytes([1, 2, 1]),
        "get_globals_six_bytes": bytes([0, 3]) + struct.pack("<I", 500),
        "get_filter": bytes([0]) + b"".join(struct.pack("<I", k * 0x01010101) for k in range(16)),
        "get_filter_64_bytes": bytes([0]) + bytes(63),
        "get_time": bytes([0, 1]) + struct.pack("<II", 1234567, 890),
        "get_powerstatus": bytes([0, 5, 2, 2]) + struct.pack("<HHH", 1, 2, 3) + bytes([1]) +
        struct.pack("<5H", 10, 11, 12, 13, 14) + bytes([1, 0, 1, 1]),
        "get_powerstatus_announces_more": bytes([0, 9, 4, 4]) + struct.pack("<HHH", 1, 2, 3) + bytes([1, 7, 0]),
        "write": bytes([0]) + struct.pack("<II", 1700000000, 123456),
        "write_eight_bytes": bytes([0]) + bytes(7),
        "canopen_get_config": bytes([0, 1]),
        "sdo_read": bytes([0, 0x4B, 0x34, 0x12]),
        "sdo_write": bytes([0, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0x99]),
        "sdo_write_block": bytes([0, 0x60]),
        "sdo_read_block": bytes([0, 0x43]) + bytes(range(40)),
        "info": bytes([0]) + bytes(range(1, 25)),
        "info_short": bytes([0]) + bytes(range(1, 11)),
        "status": bytes([0, 0x4F, 0x4B]),
        "read_digital": bytes.fromhex("000F00000003000000"),
        "read_analog": bytes([0]) + struct.pack("<4I", 7, 100, 200, 300),
        "set_config": bytes([0]),
        "restart": bytes([0x24]),
    }
    for name, data in seeds.items():
        base = name if name in index else name.rsplit("_", 2)[0]
        while base not in index:
            base = base.rsplit("_", 1)[0]
        write("confirmation", name, bytes([index[base], 0x00, 2, 1]) + data)
        write("confirmation", name + "_confirm_data", bytes([index[base], 0x04, 3, 0]) + data)
    for name in names:
        write("confirmation", name + "_result_byte", bytes([index[name], 0x00, 8, 0, 0x24]))
        write("confirmation", name + "_no_data", bytes([index[name], 0x00, 0, 0]))
        write("confirmation", name + "_bad_checksum", bytes([index[name], 0x01, 1, 0, 0]))
        write("confirmation", name + "_other_word", bytes([index[name], 0x02, 9, 0, 0]))
        write("confirmation", name + "_silence", bytes([index[name], 0x20, 2, 0]))
    # Raw: the READ_DIGITAL worked example as received, and with the id 2 the
    # first request of a fresh client carries.
    write("confirmation", "raw_read_digital_example",
          bytes([index["read_digital"], 0x03, 0, 0]) +
          bytes.fromhex("0E0040820500" "000F00000003000000" "CB"))
    write("confirmation", "raw_read_digital_id2",
          bytes([index["read_digital"], 0x03, 0, 0]) +
          telegram(0x8240, 2, bytes.fromhex("000F00000003000000")))


def time_seeds():
    # Header: layout + 1, time zone offset; then the text.
    texts = [
        (0, "05.03.2026 07:08:09.010"), (1, "05.03.2026 07:08:09"), (2, "01.01.1970"),
        (3, "05.03.2026 07:08:09.010.020"), (4, "05.03.2026 07:08:09.010.020.030"),
        (5, "07:08:09"), (6, "03/05/2026 07:08:09"), (7, "03/05/2026 "), (8, "2026-03-05 "),
        (8, "2000-01-01 "), (9, "07:08:09.010"), (10, "2026-03-05 07:08:09.010"),
        (11, "5 3 26 10:11:12"), (11, "5 3 46 10:11:12"), (11, "5 3 26"),
        (11, "5 Mar 26 07:08 +0100"), (2, "31.02.2024"), (2, "29.02.2100"), (0, ""),
        (2, "01.01.9999"), (12, "01.01.1970"), (-1, "01.01.1970"),
    ]
    for i, (layout, text) in enumerate(texts):
        zone = (i * 7 - 12) & 0xFF
        write("time_text", "layout%d_%02d" % (layout, i), bytes([layout + 1, zone]) + text.encode())


def candump_log_seeds():
    # Lines as tessara-can dump, can-utils and python-can write them, and
    # the broken ones play reports.
    logs = {
        "dump": "(1700000000.123456) tessara0 123#11223344\n"
                "(1700000000.123470) tessara0 1ABCDEF0#R2\n"
                "(1700000000.123480) tessara1 321##0" + "AB" * 12 + "\n",
        "canutils": "(1700000000.000001) can0 7FF#\n(1700000000.000002) vcan1 00000001#R\n",
        "python_can": "(1700000000.100000) can0 123#DEADBEEF R\n"
                      "(1700000000.200000) can0 123#00 T\r\n",
        "comments": "# recorded\n\n   \n#(1.0) can0 123#11\n(1.0) can0 123#11\n",
        "broken": "garbage\n(1.) can0 123#11\n(1.0) can0 20000080#00\n(1.0) can0 123#1\n"
                  "(1.0) can0 123#R9\n(1.0) can0 123##\n(99999999999999.0) can0 123#\n",
        "long": "(1.5) can0 123##0" + "00" * 255 + "\n",
    }
    for name, text in logs.items():
        write("candump_log", name, text.encode())


def socketcand_seeds():
    # Client sessions from the socketcand protocol's examples; the header
    # byte picks the chunk size of the second cutting.
    sessions = {
        "raw_session": "< open can0 >< rawmode >< send 123 0 >< send 1AAAAAAA 2 1 F1 >"
                       "< sendrtr 123 0 >< sendrtr 1AAAAAAA 2 >< echo >",
        "bcm_session": "< open can0 >< add 1 0 123 8 11 22 33 44 55 66 77 88 >"
                       "< add 0 20000 123 4 42 42 42 42 >< update 123 3 11 22 33 >"
                       "< delete 123 >< filter 0 0 123 1 FF >"
                       "< filter 1 500000 123 8 FF 00 F8 00 00 00 00 00 >"
                       "< subscribe 0 0 123 >< unsubscribe 123 >",
        "control_session": "< open can0 >< controlmode >< statistics 1000 >< statistics 0 >"
                           "< bcmmode >",
        "bus_settings": "< can0 B 500000 875 0 0 0 0 1 1 >< can0 C 1 0 0 >< open can0 >",
        "unsupported": "< muxfilter 0 0 123 2 FF 00 00 00 00 00 00 00 33 FF FF FF FF FF FF FF >"
                       "< isotpmode >< isotpconf 1F998877 1F998876 C 4 0 0 AA 55 >"
                       "< sendpdu 00112233445566778899AABBCCDDEEFF >",
        "python_can": "< open tessara0 >< rawmode >< send 7FF 3 1 a ff >< send 12345 0 >",
        "bad_input": "junk < send 12G 0 >< send 123 9 >< send 123 2 11 >\r\n<>< a <b >"
                     "< open abcdefghijklmnopq >< send 123 8",
        "too_long": "< send " + "1 " * 200 + ">< echo >",
    }
    for i, (name, text) in enumerate(sorted(sessions.items())):
        write("socketcand", name, bytes([i * 9]) + text.encode())


def main():
    receive_seeds()
    confirmation_seeds()
    time_seeds()
    candump_log_seeds()
    socketcand_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
