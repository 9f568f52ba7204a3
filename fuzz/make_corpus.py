#!/usr/bin/env python3
"""Writes the seed corpora: small, valid server messages and login replies.

Run from anywhere; it rewrites fuzz/corpus/<target>/ next to this file.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def user(uid, name, key=b"\x01\x02\x03\x04"):
    field = name.encode() + b"\0"
    return struct.pack("<i", uid) + field.ljust(75, b"\x00") + key


def frame(kind, payload=b""):
    return struct.pack("<HB", len(payload) + 1, kind) + payload


def talk(sender, target, text, flag=0):
    return frame(3, struct.pack("<ii", sender, target) + b"\x01\x02\x03\x04" +
                 bytes([flag]) + text + b"\0")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def receive():
    # Byte 0 is the cut count (0: reads as large as the buffer allows).
    whole = b"\x00"
    write("receive", "user_entered", whole + frame(1, user(7, "alice")))
    write("receive", "users_left", whole + frame(1, user(7, "alice")) +
          frame(2, struct.pack("<ii", 7, 9)))
    write("receive", "talk", whole + talk(7, 42, b"hello") + talk(7, 42, b"psst", 1))
    write("receive", "action", whole + talk(7, 9, b"/@/\x05") + talk(7, 9, b"/@/") +
          talk(9, 7, b"/@/\x02"))
    write("receive", "rename", whole + frame(12, user(7, "alice") + user(8, "bob")) +
          frame(11, user(7, "alicia") + user(42, "myself")))
    write("receive", "room_list", whole + frame(12, user(7, "a") + user(42, "me") +
                                                user(9, "c")) + frame(12))
    write("receive", "skipped", whole + frame(4, b"\xab" * 19) + frame(13) + talk(1, 2, b"x"))
    # Three cuts: 1, 2 and 64 bytes per read.
    cuts = bytes([3, 0, 5, 32])
    write("receive", "cut_stream", cuts + frame(1, user(7, "alice")) + talk(7, 42, b"hi") +
          frame(2, struct.pack("<i", 7)))


def login_reply():
    # Byte 0: mode and cut count (0: reads of exactly what the parser wants).
    plain = b"\x00"
    write("login_reply", "refused", plain + struct.pack("<i", -3))
    write("login_reply", "empty", plain + struct.pack("<i", 0))
    write("login_reply", "two_groups", plain + struct.pack("<ii", 2, 3) + user(42, "me") +
          user(7, "a") + user(8, "b") + struct.pack("<i", 2) + user(9, "c") + user(10, "d"))
    write("login_reply", "first_group_empty", plain + struct.pack("<iii", 2, 0, 1) +
          user(7, "a"))
    write("login_reply", "followed_by_frames", b"\x80" + struct.pack("<ii", 1, 1) +
          user(42, "me") + talk(7, 42, b"hi"))
    write("login_reply", "broken_off", b"\x02\x01\x07" + struct.pack("<ii", 1, 2) +
          user(42, "me") + user(7, "a")[:40])


ROOM = struct.pack("<I", 0x00C0FFEE)
SELF = b"\xee" * 4      # the harness puts the client's own id here
WATCHER = b"\xdd" * 4   # and the watching client's id here


def field(text, width):
    return text.ljust(width, b"\0")


def server():
    # Byte 0: bit 0 the harness logs in first, bit 1 as the admin; bits 2-4
    # the cut count; bit 5 is set by the target (its TLS seeds carry it to
    # say so), bit 6 a TLS client that hangs up without its close_notify.
    login = frame(1, user(0, "fuzz", ROOM) + field(b"f", 20))
    write("server", "login_then_talk", b"\x00" + login +
          frame(3, SELF + struct.pack("<i", -1) + ROOM + b"\0hi all\0"))
    write("server", "refused_login", b"\x00" + frame(1, user(0, "nobody", ROOM) + field(b"x", 20)))
    write("server", "not_a_login", b"\x00" + frame(13, ROOM))
    requests = (frame(3, SELF + WATCHER + ROOM + b"\1psst\0") +
                frame(3, SELF + WATCHER + ROOM + b"\0/@/\x05\0") +
                frame(5, SELF + ROOM + struct.pack("<dddf", 1.0, 2.0, 3.0, 0.5)) +
                frame(6, SELF + ROOM + field(b"fuzzier", 31)) +
                frame(8, SELF + ROOM + struct.pack("<i", 3)) +
                frame(9, SELF + ROOM + field(b"pic.png", 11)) +
                frame(12, ROOM) + frame(13, ROOM))
    write("server", "requests", b"\x01" + requests + frame(2, ROOM))
    write("server", "requests_cut", b"\x0d\x00\x05\x20" + requests)
    write("server", "admin_kick", b"\x03" + frame(10, WATCHER + struct.pack("<i", 0)))
    tls = 0x20
    write("server", "tls_login_then_talk", bytes([tls]) + login +
          frame(3, SELF + struct.pack("<i", -1) + ROOM + b"\0hi all\0"))
    # Cuts 5 and 33 are odd: their records arrive with the next.
    write("server", "tls_requests_cut", bytes([tls | 0x11, 5, 0, 33, 32]) + requests)
    # Enough room lists for more than one gathered write of 64 KiB.
    write("server", "tls_room_lists", bytes([tls | 0x01]) + frame(12, ROOM) * 580)
    write("server", "tls_refused_no_close_notify", bytes([tls | 0x40]) +
          frame(1, user(0, "nobody", ROOM) + field(b"x", 20)))


ROOM_TYPES = {2, 3, 4, 5, 7}


# A subject byte (node n, bit 7: the room's subject, whose key follows), a
# size and the message: header version 2, about room 3 when its type is.
def bus_message(kind, seq, body=b"", node=2, incarnation=77, subject=None, previous=0, room=3):
    about_room = kind in ROOM_TYPES
    key = room if about_room else 0
    message = struct.pack("<BBHIQQQ", 2, kind, node, key, incarnation, seq,
                          previous if about_room else 0) + body
    on = node if subject is None else subject
    if about_room:
        return struct.pack("<BIH", 0x80 | on, key, len(message)) + message
    return struct.pack("<BH", on, len(message)) + message


def unwatch(room=3):
    return struct.pack("<BI", 0x80, room)


def bus():
    bob = (2 << 24) | 1
    carol = (2 << 24) | 2
    room = b"\x03\x00\x00\x00"
    talk = struct.pack("<ii", bob, -1) + room + b"\0" + struct.pack("<H", 2) + b"hi"
    write("bus", "membership", bus_message(1, 1, struct.pack("<I", 0)) +
          bus_message(2, 2, user(bob, "bob", room)) +
          bus_message(4, 3, user(bob, "bobby", room), previous=2) +
          bus_message(5, 4, talk, previous=3) +
          bus_message(3, 5, struct.pack("<Hi", 1, bob), previous=4) +
          bus_message(2, 6, user(carol, "carol", room)) + unwatch() +
          bus_message(2, 7, user(bob, "bob", room), previous=6))
    write("bus", "gap_and_snapshot", bus_message(2, 1, user(bob, "bob", room)) +
          bus_message(2, 4, user(carol, "carol", room), previous=3) +
          bus_message(7, 5, struct.pack("<IHBH", 9, 0, 1, 1) + user(carol, "carol", room),
                      previous=4) +
          bus_message(8, 6, struct.pack("<HHI", 1, 1, 3)) + bus_message(6, 7, struct.pack(
              "<iiH", (1 << 24) | 1, 5, 4) + b"boss" + struct.pack("<H", 4) + b"boss"))
    write("bus", "restart_and_goodbye", bus_message(2, 1, user(bob, "bob", room)) +
          bus_message(1, 1, struct.pack("<I", 0), incarnation=78) + bus_message(9, 2) +
          bus_message(2, 3, user(bob, "bob", room), incarnation=77))
    write("bus", "forged_and_replayed", bus_message(1, 1, struct.pack("<I", 0)) +
          bus_message(7, 2, struct.pack("<IHBH", 1, 0, 1, 1) + user(bob, "bob", room)) +
          bus_message(9, 3, subject=3) + bus_message(1, 1, struct.pack("<I", 0), node=5) +
          bus_message(5, 4, talk, previous=2) + bus_message(5, 4, talk, previous=2) +
          bus_message(5, 5, talk, previous=4, room=4))


if __name__ == "__main__":
    receive()
    login_reply()
    server()
    bus()
