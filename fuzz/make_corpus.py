#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are kept in the repository; run this again after changing it. Paths in the
request seeds go through the default-folder macro, since the targets' install root is a
fresh temporary folder: "$DEFAULT$" is <root>/Tirvan, the share is <root>/Shared and
<root>/Outside is not shared.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

DIRECT, RELAYED, UDT = 1, 0, 3
DEVICE_ID = b"d1:phone"


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def msg_head(length, opcode, seq):
    return struct.pack(">HHI", length & 0xFFFF, opcode, seq)


def field(text, size):
    data = text.encode() if isinstance(text, str) else text
    return data[:size].ljust(size, b"\0")


def relay_prefix(opcode, seq, payload_len):
    return field(DEVICE_ID, 64) + msg_head(8 + payload_len, opcode, seq)


def record(index, flags, seq, payload, opcode=0):
    """One request record of the request targets; relayed records get the prefix."""
    if flags & 1 == 0:
        payload = relay_prefix(opcode, seq, len(payload)) + payload
    return struct.pack(">BBBH", index, flags, seq, len(payload)) + payload


def path_record(path):
    """DownLoadRequest / folder listing record: one unused byte and the path (356 bytes)."""
    return b"\0" + field(path, 355)


# ---- local_server: byte 0 bit 0 = the peer is on the LAN, then the stream
ECHO, STREAM, STREAM_WAIT, THROW, SILENT, TRAY = 0x0101, 0x0102, 0x0103, 0x0104, 0x0105, 0x500C


def msg(opcode, seq, body=b"", length=None):
    return msg_head(8 + len(body) if length is None else length, opcode, seq) + body


def local_server():
    write("local_server", "echo", b"\0" + msg(ECHO, 1, b"hello") + msg(ECHO, 2))
    write("local_server", "echo_split_head", b"\0" + msg(ECHO, 1, b"x" * 300) + msg(SILENT, 9))
    write("local_server", "stream", b"\0" + msg(STREAM, 3, b"\x10\x00") + msg(ECHO, 4, b"after"))
    write("local_server", "stream_large", b"\0" + msg(STREAM, 3, b"\x20\x00") +
          msg(STREAM_WAIT, 5, b"\x01\x00") + msg(ECHO, 6, b"end"))
    write("local_server", "stream_wait", b"\0" + msg(STREAM_WAIT, 7, b"\x00\x10"))
    write("local_server", "throw_then_echo", b"\0" + msg(THROW, 8, b"boom") + msg(ECHO, 9))
    write("local_server", "tray_loopback", b"\0" + msg(TRAY, 10, b"tray"))
    write("local_server", "tray_from_lan", b"\1" + msg(ECHO, 11) + msg(TRAY, 12, b"tray"))
    write("local_server", "unknown_opcode", b"\0" + msg(ECHO, 13) + msg(0x7777, 14) + msg(ECHO, 15))
    write("local_server", "relay_opcodes", b"\0" + msg(0x1008, 16) + msg(0x1009, 17, b"d" * 80) +
          msg(ECHO, 18))
    write("local_server", "short_length", b"\0" + msg(ECHO, 19, b"abc", length=3) + msg(ECHO, 20))
    write("local_server", "cut_body", b"\0" + msg(ECHO, 21) + msg(ECHO, 22, b"x" * 10)[:-4])
    write("local_server", "max_length", b"\1" + msg(ECHO, 23, b"m" * (0xFFFF - 8)))


# ---- relay_client: what the central server sends on the relay connection
R_ECHO, R_TOO_LONG, R_SELF_SEND = 0x0201, 0x0202, 0x3001
SV_INTER_LINE_REQ, SV_INTER_LINE_DATA, SV_INTER_LINE_DOWN_LOAD = 0x1008, 0x1009, 0x100B


def server_head(length, command, station, version=6):
    return struct.pack(">HHH", length & 0xFFFF, version, command) + field(station, 64)


def relay_data(device, message, station_id=None):
    """An SV_INTER_LINE_DATA frame: head with the device id, 64 bytes, the message."""
    body = field(b"ignored", 64) + message
    return server_head(70 + len(body), SV_INTER_LINE_DATA, station_id or device) + body


def reply_head(command, result):
    return struct.pack(">HHHH", 8, 6, command, result)


def relay_client():
    write("relay_client", "answers", reply_head(SV_INTER_LINE_REQ, 0) +
          reply_head(SV_INTER_LINE_DATA, 0x1009) + reply_head(SV_INTER_LINE_DOWN_LOAD, 0))
    write("relay_client", "echo", relay_data(DEVICE_ID, msg(R_ECHO, 1, b"hello")) +
          relay_data(b"d2:tablet", msg(R_ECHO, 2)))
    write("relay_client", "self_send", relay_data(DEVICE_ID, msg(R_SELF_SEND, 3, b"pic")))
    write("relay_client", "too_long", relay_data(DEVICE_ID, msg(R_TOO_LONG, 4)) +
          relay_data(DEVICE_ID, msg(R_ECHO, 5)))
    write("relay_client", "long_id", relay_data(b"x" * 64, msg(R_ECHO, 6, b"id")))
    write("relay_client", "unserved_and_skipped",
          relay_data(DEVICE_ID, msg(0x7777, 7)) +
          server_head(80, SV_INTER_LINE_DOWN_LOAD, "pc") + b"\0" * 10 +
          relay_data(DEVICE_ID, msg(R_ECHO, 8)))
    write("relay_client", "inner_too_long",
          relay_data(DEVICE_ID, msg(R_ECHO, 9, b"abc", length=200)) +
          relay_data(DEVICE_ID, msg(R_ECHO, 10, b"abc", length=4)) +
          server_head(70 + 30, SV_INTER_LINE_DATA, "short") + b"\0" * 30)
    write("relay_client", "split_frame", relay_data(DEVICE_ID, msg(R_ECHO, 11, b"q" * 500)) +
          relay_data(DEVICE_ID, msg(R_ECHO, 12))[:40])
    write("relay_client", "bad_head", relay_data(DEVICE_ID, msg(R_ECHO, 13)) +
          struct.pack(">HHH", 10, 6, 0x1234) + relay_data(DEVICE_ID, msg(R_ECHO, 14)))
    big = msg(R_ECHO, 15, b"B" * (0xFFFF - 134 - 8))
    write("relay_client", "max_frame", relay_data(DEVICE_ID, big))


# ---- central: records of connection [1], length [2], bytes
SV_LOG_ON, SV_LOG_OUT, SV_HEART_BEAT, SV_SET_SV_INFO = 0x1001, 0x1002, 0x1003, 0x1004
SV_SET_POWER_ON_INFO, SV_SET_DISK_INFO, SV_INTER_LINE_UP_LOAD = 0x100F, 0x1011, 0x100C
SV_DEVICE_LOGON, SV_DEVICE_DATA = 0x1020, 0x1021
STATION = "02-42-AC-11-00-09"
EMAIL = b"pc@example.com"


def md5_crypt_hash(password):
    import subprocess
    out = subprocess.run(["openssl", "passwd", "-1", "-salt", "vorpel", password],
                         capture_output=True, text=True, check=True).stdout.strip()
    return out[len("$1$vorpel$"):].encode()


def frame(command, station, payload=b""):
    return server_head(70 + len(payload), command, station) + payload


def conn(index, data):
    return struct.pack(">BH", index, len(data)) + data


def central():
    h = md5_crypt_hash("secret")
    logon = frame(SV_LOG_ON, STATION, field(EMAIL, 32) + field(h, 32) + b"\1\0\0\0" +
                  field("Linux", 32) + field(STATION, 32))
    write("central", "logon_reports", conn(0, logon +
          frame(SV_HEART_BEAT, STATION) +
          frame(SV_SET_SV_INFO, STATION, b"\0" * 8 + bytes([192, 168, 1, 5]) + b"\x3a\x98\0\0\x3a\x98" +
                b"\1\0" + b"\0" * 64 + field("pc-host", 64) + b"\0" * 64) +
          frame(SV_SET_POWER_ON_INFO, STATION, b"\1\0" + field(EMAIL, 32) + field(STATION, 64) +
                field("pc-host", 64)) +
          frame(SV_SET_DISK_INFO, STATION, (b"\0\1\0\0\0\0\x10\0" + field(STATION, 32) +
                field("/", 256)) * 2) +
          frame(SV_LOG_OUT, STATION, field(EMAIL, 32) + field(h, 32))))
    write("central", "bad_logons", conn(0, frame(SV_LOG_ON, STATION, b"\0" * 132) +
          frame(SV_LOG_ON, STATION, field(EMAIL, 32) + field("wrong", 32) + b"\0" * 68) +
          frame(SV_LOG_ON, "", b"\0" * 10) + frame(0x7777, STATION)))
    write("central", "bad_heads", conn(0, struct.pack(">HHH", 69, 6, SV_HEART_BEAT)) +
          conn(1, struct.pack(">HHH", 70, 7, SV_HEART_BEAT) + b"\0" * 64) +
          conn(2, frame(SV_HEART_BEAT, STATION)[:50]))
    device_logon = frame(SV_DEVICE_LOGON, "phone", field(EMAIL, 32) + field(h, 32) +
                         field(STATION, 64))
    relayed = frame(SV_DEVICE_DATA, "phone", msg(0x2002, 1))
    upload = frame(SV_DEVICE_DATA, "phone", msg(0x0002, 2, b"data" * 10))
    write("central", "relay", conn(0, logon) + conn(1, frame(SV_INTER_LINE_REQ, STATION)) +
          conn(2, device_logon) + conn(2, relayed + upload) +
          conn(1, frame(SV_INTER_LINE_DATA, STATION, field("d3:phone", 64) + msg(0x2002, 1, b"x"))) +
          conn(0, frame(SV_INTER_LINE_UP_LOAD, STATION) + frame(SV_INTER_LINE_UP_LOAD, STATION)) +
          conn(0, frame(SV_INTER_LINE_DOWN_LOAD, STATION, field("d3:phone", 64) +
                        msg(0x1002, 1, b"\0" * 12 + b"pkg"))))
    write("central", "device_refused", conn(2, frame(SV_DEVICE_LOGON, "phone", b"\0" * 128)) +
          conn(1, frame(SV_DEVICE_DATA, "phone", msg(0x2002, 1))))


# ---- listing: 0 GetShareInfo, 1 GetAllSubFile
OP_GET_SHARE_INFO, OP_GET_ALL_SUB_FILE = 0x2002, 0x2003


def listing():
    write("listing", "share_info", record(0, DIRECT, 1, b""))
    write("listing", "share_info_relayed", record(0, RELAYED, 1, b"", OP_GET_SHARE_INFO))
    paths = {
        "default": "$DEFAULT$",
        "share": "$DEFAULT$/../Shared",
        "sub_backslash": "$DEFAULT$\\..\\Shared\\sub",
        "pictures": "$DEFAULT_PIC$",
        "docs": "$DEFAULT_DOC$/",
        "outside": "$DEFAULT$/../Outside",
        "sibling_prefix": "$DEFAULT$/../SharedX",
        "link_dir": "$DEFAULT$/../Shared/link-dir",
        "root": "/",
        "long": "$DEFAULT$/" + "x/" * 140,
    }
    for name, p in paths.items():
        write("listing", "sub_" + name, record(1, DIRECT, 2, path_record(p)))
    write("listing", "sub_relayed",
          record(1, RELAYED, 3, path_record("$DEFAULT$/../Shared/sub"), OP_GET_ALL_SUB_FILE))
    write("listing", "sub_short", record(1, DIRECT, 4, b"\0$DEFAULT$"))


# ---- download: 0 ReqDownLoadFile, 1 AllowDownLoadFile, 2 RefuseDownLoadFile, 3 StopDownLoad
OP_REQ_DOWN, OP_ALLOW_DOWN, OP_REFUSE_DOWN, OP_STOP_DOWN = 0x0004, 0x0005, 0x0011, 0x100E


def download():
    files = {
        "a": "$DEFAULT$/../Shared/a.txt",
        "b": "$DEFAULT$\\..\\Shared\\sub\\b.bin",
        "empty": "$DEFAULT$/../Shared/empty.txt",
        "doc": "$DEFAULT_DOC$/doc.txt",
        "link_out": "$DEFAULT$/../Shared/link-out.txt",
        "outside": "$DEFAULT$/../Outside/outside-secret.txt",
        "sibling": "$DEFAULT$/../SharedX/outside-secret2.txt",
        "fifo": "$DEFAULT$/../Shared/fifo",
        "folder": "$DEFAULT$/../Shared/sub",
    }
    for name, p in files.items():
        write("download", "udt_" + name,
              record(0, UDT, 5, path_record(p)) + record(1, UDT, 5, struct.pack(">I", 0)))
    write("download", "udt_offset",
          record(0, UDT, 6, path_record(files["a"])) + record(1, UDT, 6, struct.pack(">I", 2000)))
    write("download", "udt_offset_past_end",
          record(0, UDT, 6, path_record(files["a"])) +
          record(1, UDT, 6, struct.pack(">I", 0xFFFFFFF0)))
    write("download", "direct_refuse",
          record(0, DIRECT, 7, path_record(files["b"])) + record(2, DIRECT, 7, b""))
    write("download", "relayed_start",
          record(0, RELAYED, 8, path_record(files["a"]), OP_REQ_DOWN) +
          record(1, RELAYED, 8, struct.pack(">I", 1000), OP_ALLOW_DOWN))
    write("download", "relayed_stop",
          record(0, RELAYED, 9, path_record(files["a"]), OP_REQ_DOWN) +
          record(3, RELAYED, 9, b"", OP_STOP_DOWN))
    write("download", "short_start", record(1, UDT, 5, b"\0\0"))


# ---- thumbnail_request: 0 ReqDownloadThumbNial
OP_THUMB = 0x3001


def thumb_record(width, height, path):
    return struct.pack(">HH", width, height) + field(path, 256) + b"\0" * 100


def thumbnail_request():
    pictures = {
        "jpeg": ("$DEFAULT$/../Shared/pic.jpg", 32, 24),
        "bmp": ("$DEFAULT$/../Shared/pic.bmp", 20, 15),
        "pgm_as_bmp": ("$DEFAULT$/../Shared/gray.bmp", 4, 3),
        "ppm_text_as_bmp": ("$DEFAULT$/../Shared/text.bmp", 1, 1),
        "broken": ("$DEFAULT$/../Shared/broken.jpg", 8, 8),
        "default_pic": ("$DEFAULT_PIC$/def.jpg", 0, 0),
        "upscale": ("$DEFAULT_PIC$/def.jpg", 500, 500),
        "link_out": ("$DEFAULT$/../Shared/link-pic.jpg", 10, 10),
        "outside": ("$DEFAULT$/../Outside/secret.jpg", 10, 10),
        "fifo": ("$DEFAULT$/../Shared/fifo", 10, 10),
        "folder": ("$DEFAULT$/../Shared/sub", 10, 10),
    }
    for name, (p, w, h) in pictures.items():
        write("thumbnail_request", name, record(0, DIRECT, 1, thumb_record(w, h, p)))
    write("thumbnail_request", "relayed",
          record(0, RELAYED, 2, thumb_record(16, 16, "$DEFAULT$/../Shared/pic.jpg"), OP_THUMB))
    write("thumbnail_request", "udt",
          record(0, UDT, 3, thumb_record(16, 16, "$DEFAULT$/../Shared/pic.jpg")))
    write("thumbnail_request", "short", record(0, DIRECT, 4, struct.pack(">HH", 5, 5)))


# ---- device_requests: 0 ReqDeviceHeartBeat, 1 ReqDeviceLogin, 2 ReqShutDownSystem
OP_HEART_BEAT, OP_LOGIN, OP_SHUTDOWN = 0x8888, 0x0008, 0x0009


def login_record(email, psw, name="phone"):
    return (field(email, 32) + field(psw, 32) + field(name, 64) + field("wifi", 64) +
            field("fw", 64))


def device_requests():
    write("device_requests", "heartbeat", record(0, DIRECT, 1, b"\0\0") +
          record(0, RELAYED, 2, b"\0", OP_HEART_BEAT) + record(0, DIRECT, 3, b""))
    write("device_requests", "login_own_account",
          record(1, DIRECT, 4, login_record("pc@example.com", "hash-of-the-pc")))
    write("device_requests", "login_admitted_by_tray",
          record(1, DIRECT, 5, login_record("b@example.com", "other")))
    write("device_requests", "login_refused_by_tray",
          record(1, UDT, 6, login_record("a@example.com", "other")))
    write("device_requests", "login_broken_tray_answer",
          record(1, RELAYED, 7, login_record("x@example.com", "other"), OP_LOGIN))
    write("device_requests", "login_short", record(1, DIRECT, 8, b"pc@example.com\0"))
    write("device_requests", "shutdown", record(2, DIRECT, 9, b"\1") +
          record(2, DIRECT, 10, b"\1") + record(2, RELAYED, 11, b"\1", OP_SHUTDOWN) +
          record(2, DIRECT, 12, b"\1") + record(2, DIRECT, 13, b""))


# ---- upload: 0 ReqUpLoadFile, 1 UpLoadFile, 2 OverUpLoadFile
OP_REQ_UP, OP_UP, OP_OVER_UP = 0x0001, 0x0002, 0x0003


def upload_record(size, path, digest=b"\x11" * 16):
    return struct.pack(">I", size) + b"\0" * 4 + digest + b"\0" + field(path, 355)


def up_data(data):
    return b"\0" * 12 + data


def upload():
    new = "$DEFAULT$/../Shared/new.txt"
    write("upload", "udt_whole", record(0, UDT, 1, upload_record(10, new)) +
          record(1, UDT, 1, up_data(b"hello")) + record(1, UDT, 1, up_data(b"world")) +
          record(2, UDT, 1, b"\0"))
    write("upload", "direct_whole_existing_name",
          record(0, DIRECT, 2, upload_record(3, "$DEFAULT$/../Shared/a.txt")) +
          record(1, DIRECT, 2, up_data(b"abc")) + record(2, DIRECT, 2, b"\0"))
    write("upload", "resume", record(0, UDT, 3, upload_record(8, new)) +
          record(1, UDT, 3, up_data(b"1234")) + record(2, UDT, 3, b"\1") +
          record(0, UDT, 3, upload_record(8, new)) + record(1, UDT, 3, up_data(b"5678")) +
          record(2, UDT, 3, b"\0"))
    write("upload", "too_much", record(0, UDT, 4, upload_record(2, new)) +
          record(1, UDT, 4, up_data(b"toolong")) + record(2, UDT, 4, b"\0"))
    write("upload", "relayed_announce", record(0, RELAYED, 5, upload_record(4, new), OP_REQ_UP) +
          record(1, RELAYED, 5, up_data(b"xxxx"), OP_UP) + record(1, DIRECT, 5, up_data(b"data")) +
          record(2, DIRECT, 5, b"\0"))
    for name, path in {"outside": "$DEFAULT$/../Outside/x.txt",
                       "link_dir": "$DEFAULT$/../Shared/link-dir/x.txt",
                       "sibling": "$DEFAULT$/../SharedX/x.txt",
                       "new_folder": "$DEFAULT_DOC$/made/sub/x.txt",
                       "over_link": "$DEFAULT$/../Shared/link-out.txt",
                       "dotdot_folder": "$DEFAULT$/../Shared/sub/../../Outside/y.txt",
                       "fifo": "$DEFAULT$/../Shared/fifo",
                       "folder": "$DEFAULT$/../Shared/sub"}.items():
        write("upload", "target_" + name, record(0, UDT, 6, upload_record(1, path)) +
              record(1, UDT, 6, up_data(b"z")) + record(2, UDT, 6, b"\0"))
    write("upload", "short_messages", record(0, DIRECT, 7, b"\0" * 20) +
          record(1, DIRECT, 7, b"\0" * 3) + record(2, DIRECT, 7, b""))


# ---- tray_requests: the Show_ handlers in opcode order
SHOW = {name: i for i, name in enumerate([
    "get_log_on_info", "log_on_statues", "log_on", "get_def_share", "set_def_share",
    "get_share", "set_share", "get_path", "get_trans_log", "get_is_traning",
    "get_is_mobile_linked", "get_sys_type", "log_out", "clear_log"])}


def tray_requests():
    write("tray_requests", "getters", b"".join(record(SHOW[n], DIRECT, i, b"") for i, n in
          enumerate(["get_log_on_info", "log_on_statues", "get_def_share", "get_share",
                     "get_path", "get_trans_log", "get_is_traning", "get_is_mobile_linked",
                     "get_sys_type"])))
    write("tray_requests", "log_on_out", record(SHOW["log_on"], DIRECT, 1,
          field("pc@example.com", 32) + field("hash", 32)) +
          record(SHOW["log_on_statues"], DIRECT, 2, b"") +
          record(SHOW["get_log_on_info"], DIRECT, 3, b"") +
          record(SHOW["log_out"], DIRECT, 4, b"") + record(SHOW["log_on"], DIRECT, 5, b"a;b"))
    defaults = b"".join(field(p, 260) for p in ["/tmp/a", "/tmp/a/p", "/tmp/a/m", "/tmp/a/v",
                                                   "/tmp/a/d"])
    write("tray_requests", "set_defaults", record(SHOW["set_def_share"], DIRECT, 1, defaults) +
          record(SHOW["get_def_share"], DIRECT, 2, b"") +
          record(SHOW["set_def_share"], DIRECT, 3, defaults[:100]))
    write("tray_requests", "set_shares", record(SHOW["set_share"], DIRECT, 1,
          b"/tmp/one\r\n/tmp/two\r\n\r\n/tmp/\xe4\xb8\xad") +
          record(SHOW["get_share"], DIRECT, 2, b"") +
          record(SHOW["set_share"], DIRECT, 3, b"/tmp/\xff\xfe"))
    write("tray_requests", "paths", record(SHOW["get_path"], DIRECT, 1, b"/tmp") +
          record(SHOW["get_path"], DIRECT, 2, b"/" + b"x" * 300) +
          record(SHOW["get_path"], DIRECT, 3, b"/proc/self"))
    write("tray_requests", "relayed_refused", record(SHOW["get_share"], RELAYED, 1, b"", 0x5006))
    write("tray_requests", "clear_log", record(SHOW["clear_log"], DIRECT, 1, b"") +
          record(SHOW["get_trans_log"], DIRECT, 2, b""))


# ---- relay_upload_poll: number, size, then the server's answers to the polls
def poll_answer(result, payload=b""):
    return struct.pack(">HHHH", 8 + len(payload), 6, SV_INTER_LINE_UP_LOAD, result) + payload


def relay_upload_poll():
    write("relay_upload_poll", "whole", b"\x05\x00\x0a" + poll_answer(0x100A) +
          poll_answer(0, msg(OP_UP, 5, up_data(b"hello"))) +
          poll_answer(0, msg(OP_UP, 5, up_data(b"world"))) +
          poll_answer(0, msg(OP_OVER_UP, 5, b"\0")))
    write("relay_upload_poll", "wrong_number_and_opcode", b"\x06\x00\x04" +
          poll_answer(0, msg(OP_UP, 7, up_data(b"abcd"))) +
          poll_answer(0, msg(0x2002, 6)) + poll_answer(0, msg(OP_UP, 6, up_data(b"ab"))) +
          poll_answer(0, msg(OP_OVER_UP, 6, b"\0")))
    write("relay_upload_poll", "bad_lengths", b"\x07\x00\x04" +
          poll_answer(0, msg(OP_UP, 7, up_data(b"ab"), length=300)) +
          poll_answer(0, b"\0\x02") + struct.pack(">HHHH", 4, 6, SV_INTER_LINE_UP_LOAD, 0))
    write("relay_upload_poll", "nothing_waiting", b"\x08\x00\x04" + poll_answer(0x100A) * 4)


# ---- discovery: one datagram
def discovery():
    write("discovery", "request4", b"qz\0\6\0\4")
    write("discovery", "request5_long", b"qz\0\6\0\5" + b"x" * 600)
    write("discovery", "other_type", b"qz\0\6\0\6")
    write("discovery", "short", b"qz\0")


# ---- p2p: byte 0 bit 0 clear: one UDT message of the device; set: one datagram
P_ECHO, P_TRAY = 0x0777, 0x500C


def p2p_head(length, opcode):
    return struct.pack(">HHH", length, 6, opcode)


def p2p():
    write("p2p", "udt_echo", b"\0" + msg(P_ECHO, 1, b"hello"))
    write("p2p", "udt_echo_empty", b"\0" + msg(P_ECHO, 2))
    write("p2p", "udt_head_longer", b"\0" + msg(P_ECHO, 3, b"abc", length=100))
    write("p2p", "udt_head_shorter", b"\0" + msg(P_ECHO, 4, b"abcdef", length=10))
    write("p2p", "udt_head_too_long", b"\0" + msg(P_ECHO, 5, b"x", length=3000))
    write("p2p", "udt_full", b"\0" + msg(P_ECHO, 6, b"F" * (2048 - 8)))
    write("p2p", "udt_past_full", b"\0" + msg(P_ECHO, 7, b"G" * 2100, length=2048))
    write("p2p", "udt_tray", b"\0" + msg(P_TRAY, 8))
    write("p2p", "udt_unknown", b"\0" + msg(0x6666, 9, b"?"))
    write("p2p", "udt_short", b"\0" + b"\0\x08\x07")
    punch = p2p_head(32, 3) + b"\0\0" + bytes([127, 0, 0, 1]) + b"\x30\x39" + \
        bytes([127, 0, 0, 1]) + b"\x30\x3a" + bytes(range(12))
    write("p2p", "dgram_device_punch", b"\1" + punch)
    write("p2p", "dgram_server_punch_not_from_server", b"\1" + p2p_head(32, 3) + b"\0\1" + punch[8:])
    write("p2p", "dgram_ack", b"\1" + p2p_head(20, 4) + b"\0\0" + b"\0" * 12)
    write("p2p", "dgram_ack_from_server", b"\1" + p2p_head(20, 4) + b"\0\1" + b"\0" * 12)
    write("p2p", "dgram_short_punch", b"\1" + p2p_head(31, 3) + b"\0" * 25)
    write("p2p", "dgram_heartbeat", b"\1" + p2p_head(150, 5) + b"\0" * 144)
    write("p2p", "dgram_not_p2p", b"\1" + b"\x80\0\0\x01" + b"\0" * 12)


# ---- lan_requests: byte 0 bit 0 = the peer is on the LAN, then MsgHead messages
def lan_requests():
    a = "$DEFAULT$/../Shared/a.txt"
    write("lan_requests", "listings", b"\1" + msg(OP_GET_SHARE_INFO, 1) +
          msg(OP_GET_ALL_SUB_FILE, 2, path_record("$DEFAULT$/../Shared")) +
          msg(OP_GET_ALL_SUB_FILE, 3, path_record("$DEFAULT$/../Outside")))
    write("lan_requests", "download", b"\1" + msg(OP_REQ_DOWN, 4, path_record(a)) +
          msg(OP_ALLOW_DOWN, 4, struct.pack(">I", 0)) + msg(OP_HEART_BEAT, 5, b"\0\0"))
    write("lan_requests", "download_left_pending", b"\1" + msg(OP_REQ_DOWN, 6, path_record(a)) +
          msg(OP_REQ_DOWN, 7, path_record("$DEFAULT$/../Shared/sub/b.bin")))
    write("lan_requests", "download_then_refused_opcode", b"\1" +
          msg(OP_REQ_DOWN, 8, path_record(a)) + msg(OP_ALLOW_DOWN, 8, struct.pack(">I", 1000)) +
          msg(0x7777, 9))
    write("lan_requests", "thumbnail", b"\1" +
          msg(OP_THUMB, 10, thumb_record(16, 12, "$DEFAULT$/../Shared/pic.jpg")) +
          msg(OP_THUMB, 11, thumb_record(16, 12, "$DEFAULT$/../Shared/link-pic.jpg")))
    write("lan_requests", "upload", b"\1" +
          msg(OP_REQ_UP, 12, upload_record(10, "$DEFAULT$/../Shared/lan.txt")) +
          msg(OP_UP, 12, up_data(b"0123456789")) + msg(OP_OVER_UP, 12, b"\0"))
    write("lan_requests", "upload_left_open", b"\1" +
          msg(OP_REQ_UP, 13, upload_record(10, "$DEFAULT$/../Shared/open.txt")) +
          msg(OP_UP, 13, up_data(b"01234")))
    write("lan_requests", "logins", b"\1" +
          msg(OP_LOGIN, 14, login_record("pc@example.com", "hash-of-the-pc")) +
          msg(OP_LOGIN, 15, login_record("b@example.com", "other")) +
          msg(OP_GET_SHARE_INFO, 16))
    write("lan_requests", "shutdown", b"\1" + msg(OP_SHUTDOWN, 17, b"\1") + msg(OP_SHUTDOWN, 18, b"\1"))
    write("lan_requests", "tray_loopback", b"\0" + msg(0x5000, 19) + msg(0x5006, 20) +
          msg(0x5008, 21, b"/tmp") + msg(0x500A, 22))
    write("lan_requests", "tray_from_lan", b"\1" + msg(OP_GET_SHARE_INFO, 23) + msg(0x5000, 24))


TARGETS = {"local_server": local_server, "relay_client": relay_client, "central": central, "listing": listing, "download": download, "thumbnail_request": thumbnail_request,
           "device_requests": device_requests, "upload": upload, "tray_requests": tray_requests,
           "relay_upload_poll": relay_upload_poll, "discovery": discovery, "p2p": p2p,
           "lan_requests": lan_requests}

if __name__ == "__main__":
    for name in sys.argv[1:] or TARGETS:
        TARGETS[name]()
