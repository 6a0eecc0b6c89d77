#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/.

Run once after changing an input format; the files it writes are committed. Each seed is a real
frame, packet or command line, or an edge of one, in the input format the target's header
comment describes."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CRITICAL = {0x00, 0x09, 0x0A, 0x0D, 0x3D}


def checksummed(words):
    count = (words[0] >> 12) + 3
    words = list(words) + [0] * (count - len(words))
    words[count - 1] = (-sum(words[:count - 1])) & 0xFFFF
    return words[:count]


def packet_bytes(words):
    return b"".join(struct.pack("<H", w) for w in words)


def yenc_frame(data, channel=b"G"):
    out = bytearray(b"=" + channel)
    for b in data:
        e = (b + 42) & 0xFF
        out += bytes([0x3D, (e + 64) & 0xFF]) if e in CRITICAL else bytes([e])
    return bytes(out + b"\r")


def piece(data):
    """One read's worth of bytes, framed as pieces.hpp reads it. Lengths from 0xFC up take the long
    form, since fuzz_yenc_receive reads those bytes as steps of their own."""
    if len(data) < 0xFC:
        return bytes([len(data)]) + data
    return b"\xff" + struct.pack("<H", len(data)) + data


def pieces(data, size):
    return b"".join(piece(data[i:i + size]) for i in range(0, len(data), size))


PING = packet_bytes(checksummed([0x050E, 0]))
READ_NEXT = packet_bytes(checksummed([0x0639, 0]))
BEGIN = packet_bytes(checksummed([0x5502, 0x0100, 1, 0, 0, 0x2345, 1]))
DATA = packet_bytes(checksummed([0xF501] + [0x3DD6 + 0x0101 * i for i in range(16)]))
VERIFY_ANSWER = packet_bytes(checksummed([0xF639] + [(0xE3DF ^ (i * 0x1111)) & 0xFFFF for i in range(16)]))
BAD_PING = PING[:-1] + bytes([PING[-1] ^ 1])

FAILED_READ, DRAIN, SWITCH_MODE = b"\xfc", b"\xfd", b"\xfe"

SEEDS = {
    "fuzz_packet": {
        # 36 bytes of packet, a word count for the byte form, then builder arguments.
        "ping": PING.ljust(36, b"\0") + b"\x03" + bytes(44),
        "begin": BEGIN.ljust(36, b"\0") + b"\x08" + struct.pack("<HHII", 0x100, 1, 0, 0x12345) + bytes(32),
        "data": DATA + b"\x12" + struct.pack("<HHII", 0x300, 7, 0x10000, 0x800000) + bytes(range(32)),
        "bad_checksum": BAD_PING.ljust(36, b"\xff") + b"\x00" + bytes(range(200, 244)),
        "all_ones": b"\xff" * 81,
    },
    "fuzz_raw_assembly": {
        "ping_whole": piece(PING),
        "ping_byte_by_byte": pieces(PING, 1),
        "two_packets_one_read": piece(PING + READ_NEXT) + piece(BEGIN),
        "data_split": piece(DATA[:10]) + piece(DATA[10:]) + piece(b""),
        "bad_checksum": piece(BAD_PING) + piece(VERIFY_ANSWER),
        "pending_then_flood": piece(bytes([0, 0xF0]) + bytes(33)) + piece(b"\xaa" * 1024),
        "header_only": piece(b"\x39") + piece(b"\xf6") + piece(VERIFY_ANSWER[2:20]),
    },
    "fuzz_yenc_codec": {
        "ping": PING,
        "data": DATA,
        "every_escape": bytes([0xD6, 0xE3, 0x13, 0xDF, 0xE0, 0xD6]),
        "odd_length": BEGIN[:7],
        "received_body_escape_last": yenc_frame(READ_NEXT)[2:-1] + b"=\r",
        "long_line_body": bytes(range(256)) * 2,
    },
    "fuzz_yenc_receive": {
        "ping_answer": piece(yenc_frame(PING)),
        "answer_split": pieces(yenc_frame(VERIFY_ANSWER), 5),
        "data_answer_escapes": piece(yenc_frame(DATA)) + piece(yenc_frame(BEGIN)),
        "wrong_channel": piece(yenc_frame(PING, b"Q")) + piece(yenc_frame(READ_NEXT)),
        "not_a_message": piece(b"hi\nthere\r") + piece(yenc_frame(PING)),
        "zero_byte_in_line": piece(b"=G8/\x00**\x1c$\r"),
        "short_lines": piece(b"=G\r") + piece(b"=G**\r") + piece(b"=\r") + piece(b"\r"),
        "escape_before_cr": piece(b"=G8/**\x1c=\r"),
        "overlong_line": piece(b"=G" + b"*" * 300) + piece(b"\r"),
        "after_cr_discarded": piece(yenc_frame(PING) + yenc_frame(READ_NEXT)),
        "failed_and_drain": FAILED_READ + DRAIN + piece(yenc_frame(PING)) + piece(yenc_frame(READ_NEXT)),
        "raw_leftover_heads_line": SWITCH_MODE + piece(PING[:1]) + SWITCH_MODE + piece(b"=G\r"),
        "raw_then_yenc": SWITCH_MODE + piece(PING) + SWITCH_MODE + piece(yenc_frame(BEGIN)),
    },
    "fuzz_options": {
        "program_verify": b"-c\x003\x00-p\x00-v\x00image.bin",
        "usage": b"-?",
        "all_options": b"-l\x00drv.bin\x00-d\x007\x00-b\x0057600\x00-x\x00dev.hex",
        "bad_port": b"-c\x0010\x00f.bin",
        "bad_baud": b"-b\x009600\x00f.bin",
        "unknown_option": b"-q\x00f.bin",
        "lone_x": b"-x",
        "l_then_option": b"-l\x00-p\x00f.bin",
        "long_option_word": b"-verify\x00-x\x00-v\x00img.bin",
        "bad_name": b"-p\x00-p",
        "no_arguments": b"",
    },
}


def main():
    for target, seeds in SEEDS.items():
        directory = os.path.join(HERE, "corpus", target)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
