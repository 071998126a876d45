#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/TARGET/: a few
well-formed frames, items and format strings of the kinds the plug-in and its
user interface exchange. Run it again after a change of the wire format; the
files it writes are kept in the repository."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = 0x31585552  # "RUX1"
HELLO, OPEN_SERVICE, BYE, PING, OPEN = 1, 2, 3, 4, 5
CALL, QUERY, ADVISE, UPDATE, REPLY, ACK = 16, 17, 18, 19, 20, 0x80
BLOB, BOOL, INT32, STRING, ASSOC = 2, 3, 4, 9, 14


def string(text):
    data = text.encode() if isinstance(text, str) else text
    return bytes([STRING]) + struct.pack("<I", len(data)) + data


def blob(data):
    return bytes([BLOB]) + struct.pack("<I", len(data)) + data


def boolean(value):
    return bytes([BOOL, 1 if value else 0])


def int32(value):
    return bytes([INT32]) + struct.pack("<i", value)


def assoc(members):
    body = bytes([ASSOC]) + struct.pack("<I", len(members))
    for key, value in members:
        body += string(key) + value
    return body


def frame(kind, service, body=b""):
    return struct.pack("<IBBHII", MAGIC, kind, 0, 0, service, len(body)) + body


SETTINGS = ["EnableAutoUpdate", "EnableSiteStatusCheck", "EnableAntiphishingSig", "EnableAntiphishingHeuristic",
            "EnableBlockSpySite", "EnableCheckFileDownload", "EnableCheckKeystrokes", "KeystrokeSetting",
            "EnableScanSpy", "EnableVirtual"]


def query(proc, arg=None):
    members = [("proc", string(proc))]
    if arg is not None:
        members.append(("arg", arg))
    members += [("service", string("SB")), ("source", string("QClient(1)")), ("cookie", int32(1))]
    return assoc(members)


ITEMS = {
    "string": string("ClearVirtualData"),
    "blob": blob(b"ShutDownSB\0\xff"),
    "bool": boolean(True),
    "int": int32(-5),
    "enable": assoc([("proc", string("Enable")), ("arg", boolean(False))]),
    "request-settings": query("RequestSBSetting"),
    "apply-settings": query("ApplySBSetting", assoc([(name, boolean(i % 2)) for i, name in enumerate(SETTINGS)])),
    "status": assoc([("Status", int32(1)), ("Version", string("4.2.0.17")), ("SpyScanVersion", string("3.9.1.2")),
                     ("PhishingDBVersion", string("2026.12.7.1")), ("SiteDBVersion", string("2026.12.6.3")),
                     ("TotalMaliciousBlocked", int32(3)), ("TotalSuspiciousBlocked", int32(7))]),
    "reply": assoc([("proc", string("RequestSBSetting")), ("cookie", int32(1)),
                    ("result", assoc([(name, boolean(True)) for name in SETTINGS]))]),
    "nested": assoc([("a", assoc([("b", assoc([("c", assoc([]))]))]))]),
}

FRAMES = {
    "hello-connection": frame(HELLO, 0, b"\0"),
    "hello-peer": frame(HELLO, 0, b"\1QClient(1)"),
    "open-service": frame(OPEN_SERVICE, 0, b"SB"),
    "open": frame(OPEN, 0, struct.pack("<QB", 2, 1) + struct.pack("<Q", 1) + b"SB"),
    "open-barrier": frame(OPEN, 0, struct.pack("<QB", 3, 0)),
    "bye": frame(BYE, 0),
    "ping": frame(PING, 0),
    "ack": frame(ACK, 0, struct.pack("<iI", 0, 1)),
    "ack-error": frame(ACK, 0, struct.pack("<iI", 1168, 0)),
    "call": frame(CALL, 1, ITEMS["string"]),
    "call-enable": frame(CALL, 1, ITEMS["enable"]),
    "query": frame(QUERY, 1, ITEMS["request-settings"]),
    "advise": frame(ADVISE, 1, ITEMS["status"]),
    "update": frame(UPDATE, 1, assoc([("TotalMaliciousBlocked", int32(3))])),
    "reply": frame(REPLY, 1, ITEMS["reply"]),
}


def format_seed(fmt, *values):
    """The format target's input: the format, a zero byte, then each value."""
    data = fmt.encode() + b"\0"
    for value in values:
        if isinstance(value, str):
            data += value.encode() + b"\0"
        elif value is None:
            data += b"\xff\0"
        else:
            data += struct.pack("<i", value)
    return data


FORMATS = {
    "settings": format_seed("{s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b, s:b}",
                            *[v for i, name in enumerate(SETTINGS) for v in (name, i % 2)]),
    "status": format_seed("{s:i,s:s,s:s,s:s,s:s,s:i,s:i}", "Status", 1, "Version", "4.2.0.17", "SpyScanVersion",
                          "3.9.1.2", "PhishingDBVersion", "2026.12.7.1", "SiteDBVersion", "2026.12.6.3",
                          "TotalMaliciousBlocked", 3, "TotalSuspiciousBlocked", 7),
    "status-only": format_seed("{s:i}", "Status", 0),
    "statistics": format_seed("{s:i,s:i,s:i,s:i}", "TotalMaliciousBlocked", 3, "TotalSuspiciousBlocked", 7,
                              "TotalIgnored", 0, "HarmfulDataSize", 4096),
    "string": format_seed("s", "ShowSBSettingDialog"),
    "enable": format_seed("{s:s,s:b}", "proc", "Enable", "arg", 1),
    "empty": format_seed("{}"),
    "nested": format_seed("{s:{s:{s:i}}, s:s}", "a", "b", "c", 5, "d", "e"),
    "null-key": format_seed("{s:i}", None, 1),
}

ROUNDTRIP = {
    "small": bytes(range(32)),
    "query": ITEMS["request-settings"],
    "status": ITEMS["status"],
}


# Log files for log_reader: the first byte chooses the mode (even: a file read
# with the harness's stand-in key, which unseals a 64-byte blob ending in 0x5A
# into its first 32 bytes and decrypts each 16-byte block by XOR with the first
# 16 of them; odd: records to write).
def log_record(text):
    data = (text + "\r\n").encode("utf-16-le")
    return data + b"\0" * (-len(data) % 16)


PLAIN_HEADER = b"OLVLOG.0" + b"\xff\xfe" + b"\0" * 14
PLAIN_LOG = (PLAIN_HEADER + log_record("[1a2b:10:20:2] RuxUIClient::WorkerProc: started")
             + log_record("[1a2c:10:20:3] two\r\nlines"))
STREAM_KEY = bytes(range(1, 33))
KEY_BLOB = STREAM_KEY + b"\x11" * 31 + b"\x5a"
ENCRYPTED_BODY = bytes(byte ^ STREAM_KEY[i % 16] for i, byte in
                       enumerate(b"\xff\xfe" + b"\0" * 14 + log_record("[5:6:7:1] secret line")))
# A stream key of zeros decrypts to the bytes themselves, so that the fuzzer
# sees the text it must change where the decoder compares it: a record, a block
# of damage, then a record of two lines found again on the block grid.
CLEAR_KEY_BLOB = b"\0" * 63 + b"\x5a"
CLEAR_BODY = (b"\xff\xfe" + b"\0" * 14 + log_record("[7:8:9:2] before") + bytes(range(0x41, 0x51))
              + log_record("[7:8:9:3] after\r\nand more"))
LOGS = {
    "plain": b"\x00" + PLAIN_LOG,
    "plain-damaged": b"\x02" + PLAIN_LOG[:40] + b"\0" * 4 + PLAIN_LOG[44:],
    "plain-key-error": b"\x04" + PLAIN_HEADER
    + "stream_key_init_error=0x80090005\n".encode("utf-16-le").ljust(128, b"\0") + log_record("[1:2:3:4] after"),
    "encrypted": b"\x06" + b"OLVLOG.1" + struct.pack("<I", 64) + KEY_BLOB + ENCRYPTED_BODY,
    "encrypted-clear-key": b"\x0a" + b"OLVLOG.1" + struct.pack("<I", 64) + CLEAR_KEY_BLOB + CLEAR_BODY,
    "encrypted-wrong-key": b"\x08" + b"OLVLOG.1" + struct.pack("<I", 64) + KEY_BLOB[:63] + b"\0" + ENCRYPTED_BODY,
    "records": b"\x01" + struct.pack("<IIII", 0x1234, 8, 9, 2) + bytes([5]) + "hello".encode("utf-16-le")
    + struct.pack("<IIII", 0xFFFFFFFF, 0, 1, 5) + bytes([0]),
}


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


write("rux_frame", FRAMES)
write("rux_item_decode", ITEMS)
write("rux_item_roundtrip", ROUNDTRIP)
write("rux_item_format", FORMATS)
write("log_reader", LOGS)
