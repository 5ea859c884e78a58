"""The gateway's bit fields: frame Flags and filter words.

This is the one place where the meaning of these bits is written down for
the Python side; everything else imports it from here.

Flags byte of a frame written with WRITE and of every received frame:

    bit 0 (0x01)  extended (29-bit) identifier
    bit 1 (0x02)  remote frame
    bit 2 (0x04)  a time stamp follows the data (set by the gateway only)

Other bits are carried through unchanged in both directions.

Filter table: 8 entries of two 32-bit words; entry i is words 2i and 2i + 1.
First word: bit 31 entry in use, bit 30 entry for extended identifiers,
bits 0-28 the identifier. Second word: the mask of identifier bits that must
match. With no entry in use every frame passes; otherwise a frame passes when
an entry in use has the frame's identifier kind and
(frame id XOR identifier) AND mask = 0. The filter belongs to the CAN port
(every connection of the port sees its effect) and applies to CAN frame
indications only, not to CANopen indications.
"""

FLAG_EXTENDED = 0x01
FLAG_REMOTE = 0x02
FLAG_TIMESTAMP = 0x04

MAX_STANDARD_ID = 0x7FF
MAX_EXTENDED_ID = 0x1FFFFFFF

FILTER_ENTRIES = 8
FILTER_WORDS = 2 * FILTER_ENTRIES
FILTER_IN_USE = 0x80000000
FILTER_EXTENDED = 0x40000000
FILTER_ID_MASK = MAX_EXTENDED_ID


def make_flags(extended=False, remote=False, extra=0):
    """The Flags byte for a frame to write (`extra`: further bits as they are)."""
    flags = extra & 0xFF & ~(FLAG_EXTENDED | FLAG_REMOTE)
    if extended:
        flags |= FLAG_EXTENDED
    if remote:
        flags |= FLAG_REMOTE
    return flags


def is_extended(flags):
    return bool(flags & FLAG_EXTENDED)


def is_remote(flags):
    return bool(flags & FLAG_REMOTE)


def has_timestamp(flags):
    return bool(flags & FLAG_TIMESTAMP)


def filter_entry(identifier, mask, extended):
    """The two words of one filter entry in use."""
    first = FILTER_IN_USE | (identifier & FILTER_ID_MASK)
    if extended:
        first |= FILTER_EXTENDED
    return [first, mask & FILTER_ID_MASK]


def filter_table(entries):
    """A 16-word table from up to 8 (identifier, mask, extended) entries;
    the remaining entries are not in use."""
    entries = list(entries)
    if len(entries) > FILTER_ENTRIES:
        raise ValueError("the gateway holds at most %d filter entries" % FILTER_ENTRIES)
    words = []
    for identifier, mask, extended in entries:
        words.extend(filter_entry(identifier, mask, extended))
    words.extend([0] * (FILTER_WORDS - len(words)))
    return words


def decode_filter_table(words):
    """The entries in use of a 16-word table as (identifier, mask, extended)."""
    entries = []
    for i in range(FILTER_ENTRIES):
        first, mask = words[2 * i] & 0xFFFFFFFF, words[2 * i + 1] & 0xFFFFFFFF
        if first & FILTER_IN_USE:
            entries.append((first & FILTER_ID_MASK, mask, bool(first & FILTER_EXTENDED)))
    return entries
