"""A palaver-server child process on a free loopback port for the whole run
(running_server starts more, for a test that stops and restarts one), with
an accounts file (boss is an admin), and helpers that wait for events."""

import asyncio
import contextlib
import itertools
import os
import select
import subprocess
import time

import pytest

import palaver

ACCOUNTS = """\
boss  s3cret  admin
alice a
bob   b
"""
LOGINS = {"boss": "s3cret", "alice": "a", "bob": "b"}
# Extras for tests that fill a room: member0 ... member59, login string "m".
ACCOUNTS += "".join(f"member{i} m\n" for i in range(60))
LOGINS.update({f"member{i}": "m" for i in range(60)})
DEADLINE = 20.0  # seconds: generous, for a loaded machine


@pytest.fixture(scope="session")
def accounts(tmp_path_factory):
    path = tmp_path_factory.mktemp("server") / "accounts.txt"
    path.write_text(ACCOUNTS)
    return path


@pytest.fixture(scope="session")
def server(accounts):
    with running_server(accounts) as port:
        yield port


@contextlib.contextmanager
def running_server(accounts, listen="127.0.0.1:0"):
    """palaver-server on `listen` until the block ends (killed); yields its port."""
    binary = os.environ.get("PALAVER_SERVER")
    if not binary:
        pytest.skip("PALAVER_SERVER names no palaver-server binary")
    process = subprocess.Popen(
        # The tests fill rooms from loopback: no limits of one address.
        [binary, "--listen", listen, "--accounts", str(accounts),
         "--max-per-address", "0", "--connect-rate", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
    )
    try:
        ready, _, _ = select.select([process.stdout], [], [], DEADLINE)
        line = process.stdout.readline().decode() if ready else ""
        # "palaver-server listening on 127.0.0.1:PORT"
        assert line.startswith("palaver-server listening on "), line
        yield int(line.rsplit(":", 1)[1])
    finally:
        process.kill()
        process.wait()


_rooms = itertools.count(100)


@pytest.fixture
def room():
    """A room of its own for each test."""
    return next(_rooms)


@pytest.fixture
def connect(server, room):
    """connect(name) -> (client, own record), logged in to the test's room."""
    clients = []

    def make(name, codepage="gbk", host_driven=False):
        client = palaver.Client("127.0.0.1", server, codepage=codepage, host_driven=host_driven)
        clients.append(client)
        return client, client.login(name, room=room, login=LOGINS.get(name, ""))

    yield make
    for client in clients:
        client.close()


def until(client, match, deadline=DEADLINE):
    """The first event from client.events() that `match` accepts."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        for event in client.events(timeout=end - time.monotonic()):
            if match(event):
                return event
    pytest.fail("the expected event did not come")


async def afirst(client, match, deadline=DEADLINE):
    """The first event from client.aevents() that `match` accepts; None when
    the loop ended without one."""

    async def look():
        async for event in client.aevents():
            if match(event):
                return event

    return await asyncio.wait_for(look(), deadline)


def line_from(sender):
    return lambda e: isinstance(e, palaver.ChatLine) and e.sender == sender


def is_notice(event):
    return isinstance(event, palaver.ChatLine) and event.is_notice


def users_where(predicate):
    return lambda e: isinstance(e, palaver.UsersChanged) and predicate(e.users)
