"""asyncio for clients: Client.aevents() and Client.alogin().

A host-driven client is driven on the loop itself: a reader on its socket (a
writer too while it has bytes to send) and a timer for next_timeout, asked
anew each turn because the socket changes with every login and reconnect. A
threaded client is watched through its event descriptor. Both are registered
only while the coroutine awaits, so a cancelled task or a loop that broke off
leaves no reader behind. One coroutine iterates a client's aevents() at a
time: the loop keeps one reader per descriptor.
"""

import asyncio
import contextlib
import functools
import threading

from .client import _AWAY_POLL_S, _deadline, _ends, _left, _soonest
from .errors import PalaverError
from .records import Event


class _Waiter:
    """One await for a client. It holds the client as a call does, so that
    close() from another thread frees nothing the loop still watches; any
    thread may end it (wake), but only the loop's thread touches the loop."""

    def __init__(self, client, loop):
        client._enter()  # raises when the client is closed
        with client._calls:
            client._waiters.add(self)
        self.client, self.loop = client, loop
        self.thread = threading.get_ident()
        self.future = loop.create_future()
        self.readers, self.writers, self.timer = [], [], None

    def watch(self, readers, writers, timeout) -> None:
        try:
            for fd in readers:
                self.loop.add_reader(fd, self.detach)
                self.readers.append(fd)
            for fd in writers:
                self.loop.add_writer(fd, self.detach)
                self.writers.append(fd)
        except OSError:  # another thread's login closed the socket: look again
            self.detach()
            return
        if timeout is not None:
            self.timer = self.loop.call_later(timeout, self.detach)

    def detach(self) -> None:
        """Ends the await: removes what it watches and lets close() go on."""
        if self.client is None:
            return
        for fd in self.readers:
            self.loop.remove_reader(fd)
        for fd in self.writers:
            self.loop.remove_writer(fd)
        if self.timer is not None:
            self.timer.cancel()
        with self.client._calls:
            self.client._waiters.discard(self)
        self.client._leave()
        self.client = None
        if not self.future.done():
            self.future.set_result(None)

    def wake(self) -> None:
        if threading.get_ident() == self.thread:
            self.detach()  # close() on the loop's thread must not wait for the loop
            return
        with contextlib.suppress(RuntimeError):  # a closed loop has cancelled its tasks
            self.loop.call_soon_threadsafe(self.detach)


async def _turn(client, timeout) -> Event:
    """Waits for what may change the client (or `timeout`), then takes its bits."""
    loop = asyncio.get_running_loop()
    waiter = _Waiter(client, loop)
    try:
        if client.host_driven:
            fd = client.fileno()
            readers = [fd] if fd >= 0 else []
            writers = readers if client.want_write else []
            due = client.next_timeout
        else:  # while away the descriptor would be ready throughout
            readers = [] if client._away else [client.event_fd()]
            writers, due = [], _AWAY_POLL_S if client._away else None
        waiter.watch(readers, writers, _soonest(timeout, due))
        await waiter.future
    finally:
        waiter.detach()
    if not client.host_driven:
        return client.wait(0)
    if client._reconnect and client.fileno() < 0 and client.next_timeout == 0:
        # A reconnect try is due, which may take a login's 10 s: not on the loop.
        return await loop.run_in_executor(None, client.process)
    return client.process()


async def events(client, timeout=None):
    """Client.events() for asyncio; see Client.aevents()."""
    woken, logouts = False, client._logouts
    deadline = _deadline(timeout)
    while not client.closed and client._logouts == logouts:
        while client._pending:
            try:
                event = client._pending.popleft()
            except IndexError:  # another thread took the last one
                break
            yield event
            if _ends(event):
                return
            deadline = _deadline(timeout)
        left = _left(deadline)
        if woken or left == 0:
            return
        try:
            woken = client._take(await _turn(client, left))
        except PalaverError:
            if client.closed:
                return
            raise


async def login(client, name, **kwargs):
    """Client.login() in the loop's executor."""
    attempt = asyncio.get_running_loop().run_in_executor(
        None, functools.partial(client.login, name, **kwargs)
    )
    try:
        return await attempt
    except asyncio.CancelledError:
        with contextlib.suppress(PalaverError):
            client.logout()  # calls the login off
        raise
