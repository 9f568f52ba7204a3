"""The Python binding against a real palaver-server: what a binding can get
wrong (record layouts, text sizes and code pages, errors, ownership, threads),
not the library's own suite again."""

import socket
import struct
import threading
import time

import pytest
from conftest import is_notice, line_from, until, users_where

import palaver
from palaver import _native


def test_two_bots_talk_whisper_act_and_hear_the_arrival_notice(connect, room):
    alice, a = connect("alice")
    bob, b = connect("bob")
    assert (a.name, a.room) == ("alice", room) and a.id != b.id

    assert until(alice, is_notice).text == "bob 登录了！"

    bob.say("你好，世界")
    bob.whisper(a.id, "悄悄话")  # most likely in the same batch: none may be lost
    assert until(alice, line_from(b.id)) == palaver.ChatLine(b.id, -1, "你好，世界", False, room)
    assert until(alice, line_from(b.id)) == palaver.ChatLine(b.id, a.id, "悄悄话", True, room)

    bob.act(200, a.id)  # above 127: an unsigned byte all the way
    action = until(alice, lambda e: isinstance(e, palaver.Action))
    assert action == palaver.Action(b.id, a.id, 200)


def test_walk_rename_and_room_list_update_the_users(connect):
    alice, _ = connect("alice")
    bob, b = connect("bob")

    bob.walk(1.5, -2.25, 3e10, 0.5)
    until(alice, users_where(lambda us: [u.position for u in us] == [(1.5, -2.25, 3e10)]))

    bob.rename("小明")
    seen = until(alice, users_where(lambda us: us[0].name == "小明")).users
    assert (seen[0].id, seen[0].fourth) == (b.id, 0.5)
    assert until(bob, lambda e: bob.me.name == "小明")

    alice.request_room_list()
    assert until(alice, users_where(lambda us: [u.id for u in us] == [b.id]))


def test_text_limits_are_bytes_in_the_code_page(connect):
    alice, a = connect("alice", codepage="utf-8")
    bob, b = connect("bob", codepage="utf-8")
    bob.say("好" * 100)  # 300 bytes in UTF-8: the most a line may carry
    # The arrival notice: the name in the room's code page, the words in GBK.
    assert until(alice, is_notice).text == "bob 登录了！"
    assert until(alice, line_from(b.id)).text == "好" * 100

    with pytest.raises(palaver.PalaverError) as too_long:
        bob.say("好" * 101)
    assert too_long.value.code == _native.E_TOO_LONG and "too long" in str(too_long.value)
    with palaver.Client(codepage="gbk") as gbk, pytest.raises(UnicodeEncodeError):
        gbk.say("🙂")
    with pytest.raises(ValueError):
        bob.say("cut\0here")  # would be cut silently by a C string
    with pytest.raises(palaver.PalaverError):
        connect("x" * 31)  # the name field holds 30 bytes


def test_an_admin_kicks_a_bot_whose_wait_reports_the_disconnection(connect):
    boss, _ = connect("boss")
    bob, b = connect("bob")
    boss.kick(b.id, 0)
    assert until(bob, lambda e: isinstance(e, palaver.Disconnected))
    assert bob.wait(0) & palaver.Event.DISCONNECTED and not bob.connected
    with pytest.raises(palaver.PalaverError) as gone:
        bob.say("still here?")
    assert gone.value.code == _native.E_NOT_CONNECTED


def test_a_wrong_login_string_is_refused_with_the_servers_code(server, room):
    with palaver.Client("127.0.0.1", server) as client:
        with pytest.raises(palaver.LoginRefused) as refused:
            client.login("alice", room=room, login="wrong")
        assert (refused.value.server_code, refused.value.code) == (-3, _native.E_REFUSED)
        assert not client.connected


def test_the_wait_times_out_empty(connect):
    alice, _ = connect("alice")
    alice.users(), alice.lines()  # what the login brought
    started = time.monotonic()
    assert alice.wait(0.3) == palaver.Event(0)
    assert time.monotonic() - started >= 0.25
    assert list(alice.events(timeout=0.05)) == []


def test_one_client_from_two_threads_and_closed_under_a_waiter(connect):
    alice, _ = connect("alice")
    bob, b = connect("bob")
    heard = []
    all_heard = threading.Event()

    def listen():  # waits without end; close() on the main thread ends it
        for event in alice.events():
            if isinstance(event, palaver.ChatLine) and event.sender == b.id:
                heard.append(event.text)
                if len(heard) == 200:
                    all_heard.set()

    listener = threading.Thread(target=listen)
    listener.start()
    for i in range(200):
        bob.say(str(i))
    all_heard.wait(20)
    alice.close()
    listener.join(20)
    assert not listener.is_alive()
    assert heard == [str(i) for i in range(200)]
    with pytest.raises(palaver.PalaverError):
        alice.say("closed")


def test_a_missing_library_is_named_in_the_error(tmp_path):
    with pytest.raises(OSError, match="PALAVER_LIBRARY"):
        _native.load(str(tmp_path / "libPalaver.so"))


def test_a_room_of_forty_is_copied_whole_and_events_keep_flowing_while_it_changes(connect):
    alice, _ = connect("alice")
    bob, b = connect("bob")
    others = [connect(f"member{i}")[1].id for i in range(39)]
    until(alice, users_where(lambda users: len(users) == 40))
    started = time.monotonic()
    users = alice.users()
    assert time.monotonic() - started < 1.0
    assert sorted(u.id for u in users) == sorted(others + [b.id])

    heard = []
    for i in range(20):  # the room changes under the loop: users come and go
        newcomer, _ = connect(f"member{40 + i}")
        bob.say(str(i))
        newcomer.close()
        heard.append(until(alice, line_from(b.id)).text)
    assert heard == [str(i) for i in range(20)]


def test_wakeup_ends_a_wait_without_end_and_an_events_loop(connect):
    alice, _ = connect("alice")
    alice.users(), alice.lines()  # what the login brought
    done = threading.Event()

    def loop():
        for _ in alice.events():
            pass
        done.set()

    listener = threading.Thread(target=loop)
    listener.start()
    while not done.is_set():  # a wakeup before the loop waits is kept for it
        alice.wakeup()
        done.wait(0.5)
    listener.join(20)
    assert not listener.is_alive()


def _fake_login_server(reply):
    """A server that answers one login with `reply` bytes (None: never) and
    then hangs up; returns its port."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        connection, _ = listener.accept()
        with connection, listener:
            connection.recv(4096)
            if reply is None:
                connection.recv(4096)  # until the client gives up and closes
            else:
                connection.sendall(reply)

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def test_a_refusal_a_broken_reply_and_a_time_out_are_told_apart():
    cases = [
        (struct.pack("<i", -1), lambda e: isinstance(e, palaver.LoginRefused) and e.server_code == -1),
        (struct.pack("<ii", 1, 1), lambda e: e.code == _native.E_BROKEN_REPLY),
        (None, lambda e: e.code == _native.E_TIMEOUT),  # the real 10 s limit
    ]
    for reply, expected in cases:
        with palaver.Client("127.0.0.1", _fake_login_server(reply)) as client:
            with pytest.raises(palaver.PalaverError) as error:
                client.login("x")
            assert expected(error.value), error.value
