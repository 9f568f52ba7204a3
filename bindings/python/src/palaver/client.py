"""One chat-room client: its own connection, receive thread and room."""

import collections
import contextlib
import ctypes
import os
import threading
import time
from typing import Iterator, List, Optional, Union

from . import _native
from .errors import LoginRefused, PalaverError, client_error
from .records import (
    NOTICE,
    Action,
    ChatLine,
    Disconnected,
    Event,
    Reconnected,
    ReconnectStatus,
    User,
    UsersChanged,
    decode_user,
    encode_user,
    room_of,
)

# The library's own notice words are GBK whatever the room's code page; the
# names inside a notice are in the room's code page.
NOTICE_CODEPAGE = "gbk"
_NOTICE_WORDS = (
    " 登录了！".encode(NOTICE_CODEPAGE),  # arrival: NAME + this
    " 退出了！".encode(NOTICE_CODEPAGE),  # departure: NAME + this
    " 改名为: ".encode(NOTICE_CODEPAGE),  # rename: OLD + this + NEW
)
# How long close() waits for the calls of other threads before it wakes them
# again: a thread that began a wait just after the last wake-up.
_CLOSE_ROUND_S = 0.05
# Room for users who arrive between sizing the snapshot and copying it.
_USERS_SLACK = 8
_NAME_MAX = 30
_PICTURE_MAX = 10
# While a client is away and tries to log in again, the library reports the
# break on every wait: the loops look again this often instead of waiting on it.
_AWAY_POLL_S = 0.1

AnyEvent = Union[ChatLine, Action, UsersChanged, Disconnected, Reconnected]


class Client:
    """A client of one palaver-server. Use it as a context manager:

        with palaver.Client("127.0.0.1", 7400) as bot:
            me = bot.login("bot", room=1)
            bot.say("你好")
            for event in bot.events(timeout=5):
                print(event)

    Every method may be called from any thread. close() (or leaving the
    `with` block) logs out, waits for the calls other threads have under way
    and frees the client; calls after it raise PalaverError.

    host_driven=True makes a client without a receive thread, for a host's
    own loop: it waits on fileno() (for writing too while want_write) and on
    next_timeout, and calls process(). events() and aevents() drive such a
    client themselves.
    """

    def __init__(
        self,
        host: Optional[str] = None,
        port: int = 7400,
        *,
        codepage: str = "gbk",
        host_driven: bool = False,
    ):
        self.codepage = codepage
        self.host_driven = bool(host_driven)
        self._lib = _native.library()
        self._calls = threading.Condition()
        self._active = 0
        # Events taken from the library but not yet handed out by events(): a
        # loop that breaks off after one line of a batch loses none of the rest.
        self._pending = collections.deque()
        self._reconnect = False  # set_reconnect turned it on
        self._away = False  # a break was handed out and the client tries again
        self._logouts = 0  # a loop of events ends when logout() counts one more
        self._waiters = set()  # the awaits of aevents() (aio.py)
        new = "palaver_client_new_host_driven" if host_driven else "palaver_client_new"
        self._handle = getattr(self._lib, new)()
        if not self._handle:
            raise MemoryError(new)
        if host is not None:
            self.set_server(host, port)

    # -- lifetime -----------------------------------------------------------

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None):
            self.close()  # a client dropped without close() still ends its connection

    def close(self) -> None:
        with self._calls:
            handle, self._handle = self._handle, None
        if not handle:
            return
        # Ends the connection, calls off a login under way and wakes every
        # wait of other threads (and every events() and aevents() loop); a
        # wait that began after that is woken by the next round. No call can
        # begin any more: the handle is gone.
        while True:
            with self._calls:
                if not self._active:
                    break
            self._lib.palaver_logout(handle)
            self._wake_waiters()
            with self._calls:
                self._calls.wait_for(lambda: self._active == 0, _CLOSE_ROUND_S)
        self._lib.palaver_client_free(handle)

    @property
    def closed(self) -> bool:
        return not self._handle

    def _enter(self):
        """The handle, kept valid (close() waits) until the matching _leave."""
        with self._calls:
            handle = self._handle
            if not handle:
                raise PalaverError(_native.E_INVALID, "the client is closed")
            self._active += 1
            return handle

    def _leave(self) -> None:
        with self._calls:
            self._active -= 1
            self._calls.notify_all()

    @contextlib.contextmanager
    def _held(self):
        handle = self._enter()
        try:
            yield handle
        finally:
            self._leave()

    def _call(self, name: str, *args, failed=0):
        """Calls palaver_NAME on this client; raises the client's last error
        when it returns `failed`. The handle stays valid until the call returns."""
        with self._held() as handle:
            result = getattr(self._lib, name)(handle, *args)
            if result == failed:
                raise client_error(self._lib, handle)
            return result

    def _wake_waiters(self) -> None:
        """Makes every aevents() loop of the client look again: it closed,
        logged out, was woken or has a new socket."""
        with self._calls:
            waiters = list(self._waiters)
        for waiter in waiters:
            waiter.wake()

    def _encode(self, text: str, limit: Optional[int] = None) -> bytes:
        if "\0" in text:
            raise ValueError("text with a NUL character cannot cross the C interface")
        data = text.encode(self.codepage)
        if limit is not None and len(data) > limit:
            raise PalaverError(_native.E_TOO_LONG)
        return data

    # -- connection ---------------------------------------------------------

    def set_server(self, host: str, port: int) -> None:
        self._call("palaver_set_server", host.encode("idna"), port)

    def use_tls(self, enable: bool = True, *, ca_file: Optional[str] = None,
                verify: bool = True) -> None:
        """TLS from the next login on. The server's certificate is checked
        against the system's trust store, or `ca_file` (PEM); verify=False is
        for tests and labs only. A refused certificate makes login raise
        PalaverError with code E_TLS_CERTIFICATE and the reason in its text."""
        self._call("palaver_set_tls_ca_file", os.fsencode(ca_file) if ca_file else None)
        self._call("palaver_set_tls_verify", 1 if verify else 0)
        self._call("palaver_set_tls", 1 if enable else 0)

    def login(
        self, name: str, *, room: int = 0, login: str = "", model: int = 0, picture: str = ""
    ) -> User:
        """Logs in as `name` to `room`; returns the own record the server gave
        (with the user id). Takes at most 10 s; close() from another thread
        calls it off. alogin() is the same as a coroutine."""
        record = _native.UserInfo.from_buffer_copy(
            encode_user(
                self._encode(name, _NAME_MAX), room, model, self._encode(picture, _PICTURE_MAX)
            )
        )
        status = ctypes.c_int32()
        try:
            code = self._call(
                "palaver_login_with_status",
                ctypes.byref(record),
                self._encode(login),
                ctypes.byref(status),
                failed=None,
            )
        finally:
            self._away = False  # a login ends any break, reported or not
            self._wake_waiters()  # the socket changed
        if code == _native.E_REFUSED:
            raise LoginRefused(status.value)
        if code != _native.OK:
            with self._calls:
                handle = self._handle
            # E_TIMEOUT, E_BROKEN_REPLY, E_CONNECT, a TLS code...: each its own.
            raise client_error(self._lib, handle) if handle else PalaverError(code)
        return decode_user(bytes(record), self.codepage)

    def logout(self) -> None:
        """Ends the connection, calls off a login or reconnect under way and
        ends the waits, events() and aevents() of every thread."""
        self._call("palaver_logout")
        with self._calls:
            self._logouts += 1
        self._wake_waiters()

    def set_send_limit(self, seconds: float) -> None:
        """A send that the system cannot take within `seconds` (10 by default)
        ends the connection instead of blocking the caller longer."""
        self._call("palaver_set_send_limit", max(1, int(seconds * 1000)))

    def set_talk_limit(self, lines: int, size: int) -> None:
        """At most `lines` chat lines and `size` bytes wait for lines(); past
        that the oldest are dropped and counted in dropped_lines."""
        self._call("palaver_set_talk_limit", lines, size)

    @property
    def dropped_lines(self) -> int:
        """Chat lines dropped because the talk limit was full."""
        return self._call("palaver_dropped_talk", failed=None)

    @property
    def connected(self) -> bool:
        return not self.closed and self._call("palaver_is_connected", failed=None) == 1

    @property
    def me(self) -> User:
        """The own record now (all zero before the first login)."""
        record = _native.UserInfo()
        self._call("palaver_copy_self", ctypes.byref(record))
        return decode_user(bytes(record), self.codepage)

    # -- the host's own loop (host-driven clients) ---------------------------

    def fileno(self) -> int:
        """The socket of the open connection, -1 when none is open. It changes
        with every login and reconnect: ask each time round the loop. Only
        wait on it; the library reads, writes and closes it."""
        with self._held() as handle:
            return _native.socket_of(self._lib, handle)

    @property
    def want_write(self) -> bool:
        """Bytes wait in the send buffer: wait for the socket to be writable too."""
        return self._call("palaver_want_write", failed=None) == 1

    def process(self) -> Event:
        """Does what the socket is ready for without blocking (reads, writes,
        KeepAlives, a reconnect try that is due, which blocks like a login);
        returns what wait(0) would. For a threaded client it only looks."""
        return Event(self._call("palaver_process", failed=-1))

    @property
    def next_timeout(self) -> Optional[float]:
        """Seconds until process() must run even if the socket stays quiet;
        None when nothing is due."""
        return _seconds(self._call("palaver_next_timeout", failed=None))

    def set_send_buffer(self, size: int) -> None:
        """The most bytes a host-driven client keeps for its socket (1 MiB by
        default); a send that would overfill it raises E_BUSY and the
        connection stays."""
        self._call("palaver_set_send_buffer", size)

    def event_fd(self) -> int:
        """A descriptor (Windows: an event handle) that is readable exactly
        while wait(0) would report something: for select, selectors or
        asyncio's add_reader with a threaded client. The client owns it."""
        with self._held() as handle:
            fd = _native.event_of(self._lib, handle)
            if fd < 0:
                raise client_error(self._lib, handle)
            return fd

    # -- reconnect ----------------------------------------------------------

    def set_reconnect(
        self,
        enable: bool = True,
        *,
        min_delay: float = 0.25,
        max_delay: float = 10.0,
        jitter: float = 0.2,
        max_tries: int = 0,
    ) -> None:
        """When on, a connection that breaks after a login is logged in again
        with the same record and login string: the first try after
        `min_delay` seconds, each next one twice as late up to `max_delay`,
        each moved by up to `jitter` (a fraction) either way, at most
        `max_tries` in a row (0: without end). A refusal or logout() stops
        the tries. events() and aevents() report Disconnected(reconnecting=
        True), then Reconnected, and go on."""
        self._call(
            "palaver_set_reconnect_delays",
            round(min_delay * 1000),
            round(max_delay * 1000),
            round(jitter * 100),
            max_tries,
        )
        self._call("palaver_set_reconnect", 1 if enable else 0)
        self._reconnect = bool(enable)

    @property
    def reconnect_status(self) -> ReconnectStatus:
        code = ctypes.c_int()
        trying = self._call("palaver_reconnect_status", ctypes.byref(code), failed=None)
        error = PalaverError(code.value) if code.value != _native.OK else None
        return ReconnectStatus(trying == 1, error)

    # -- requests: each raises PalaverError when it was not taken whole ----

    def say(self, text: str, target: int = -1) -> None:
        self._call("palaver_send_talk", target, self._encode(text), 0)

    def whisper(self, target: int, text: str) -> None:
        self._call("palaver_send_talk", target, self._encode(text), 1)

    def act(self, action: int, target: int = -1) -> None:
        if not 0 <= action <= 255:
            raise PalaverError(_native.E_INVALID, "an action is a number 0-255")
        self._call("palaver_do_action", target, action)

    def walk(self, x: float, y: float, z: float, fourth: float = 0.0) -> None:
        self._call("palaver_walk", x, y, z, fourth)

    def rename(self, name: str) -> None:
        self._call("palaver_change_name", self._encode(name))

    def change_model(self, model: int) -> None:
        self._call("palaver_change_model", model)

    def change_picture(self, picture: str) -> None:
        self._call("palaver_change_picture", self._encode(picture))

    def kick(self, user_id: int, ban_minutes: int = 0) -> None:
        self._call("palaver_kick", user_id, ban_minutes)

    def request_room_list(self) -> None:
        self._call("palaver_request_room_list")

    # -- queries ------------------------------------------------------------

    def _drain(self, name: str, record_type, batch: int) -> list:
        """Takes everything a queue holds, growing the buffer while more wait."""
        out = []
        written = ctypes.c_size_t()
        while True:
            buffer = (record_type * batch)()
            more = self._call(name, buffer, batch, ctypes.byref(written), failed=-1)
            out.extend(buffer[: written.value])
            if more == 0:
                return out
            batch = max(batch, more)

    def users(self) -> List[User]:
        """The room's other users, by id: a snapshot, sized by a first call
        that copies nothing, copied whole by the second (a third when users
        arrived in between)."""
        written = ctypes.c_size_t()
        more = self._call("palaver_get_users", None, 0, ctypes.byref(written), failed=-1)
        while True:
            capacity = written.value + more + _USERS_SLACK
            buffer = (_native.UserInfo * capacity)()
            more = self._call("palaver_get_users", buffer, capacity, ctypes.byref(written), failed=-1)
            if more == 0:
                return [decode_user(bytes(r), self.codepage) for r in buffer[: written.value]]

    def lines(self) -> List[ChatLine]:
        """Takes every chat line and notice that arrived, oldest first."""
        return [self._line(r) for r in self._drain("palaver_get_talk", _native.ChatLineRecord, 32)]

    def actions(self) -> List[Action]:
        """Takes the latest action of each (sender, target) pair."""
        records = self._drain("palaver_get_actions", _native.ActionContent, 32)
        return [Action(r.sender, r.target, r.action) for r in records]

    def _line(self, r) -> ChatLine:
        raw = ctypes.string_at(
            ctypes.addressof(r) + _native.ChatLineRecord.text.offset,
            min(r.length, _native.TEXT_MAX),
        )
        return ChatLine(
            sender=r.sender,
            target=r.target,
            text=self._notice(raw) if r.sender == NOTICE else self._decode(raw),
            whisper=bool(r.whisper),
            room=room_of(r.locationKey),
        )

    def _decode(self, raw: bytes) -> str:
        return raw.decode(self.codepage, "replace")

    def _notice(self, raw: bytes) -> str:
        for words in _NOTICE_WORDS:
            before, found, after = raw.partition(words)
            if found:
                return self._decode(before) + words.decode(NOTICE_CODEPAGE) + self._decode(after)
        return raw.decode(NOTICE_CODEPAGE, "replace")

    # -- waiting ------------------------------------------------------------

    def wait(self, timeout: Optional[float] = None) -> Event:
        """Blocks until something waits or `timeout` seconds pass (None: no
        end); returns the Event bits that hold, an empty Event after the
        time-out. wakeup() or close() from another thread ends it at once.
        A host-driven client's wait does the work of process() meanwhile."""
        timeout_ms = -1 if timeout is None else max(0, int(timeout * 1000))
        return Event(self._call("palaver_wait", timeout_ms, failed=-1))

    def wakeup(self) -> None:
        """Ends one wait() (or events() or aevents() loop) of another thread
        at once, with Event.WAKEUP; when none waits, the next wait returns at
        once."""
        self._call("palaver_wakeup")
        self._wake_waiters()

    def events(self, timeout: Optional[float] = None) -> Iterator[AnyEvent]:
        """Yields lines, actions, user-set changes and a disconnection as they
        come; stops after `timeout` seconds with nothing new, after the
        disconnection (unless the client reconnects: see set_reconnect), on
        wakeup(), or when the client is closed. What one loop took but did not
        get to (it broke off) comes first in the next."""
        woken, logouts = False, self._logouts
        deadline = _deadline(timeout)
        while not self.closed and self._logouts == logouts:
            while self._pending:
                try:
                    event = self._pending.popleft()
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
                woken = self._take(self._wait_turn(left))
            except PalaverError:
                if self.closed:
                    return
                raise

    def aevents(self, timeout: Optional[float] = None):
        """events() as an asynchronous iterator for asyncio: `async for event
        in client.aevents()`. Cancelling the task, close() or logout() ends
        it at once and leaves no reader on the loop."""
        from . import aio

        return aio.events(self, timeout)

    async def alogin(self, name: str, **kwargs) -> User:
        """login() as a coroutine (it runs in the loop's executor); a
        cancelled alogin calls the login off."""
        from . import aio

        return await aio.login(self, name, **kwargs)

    def _wait_turn(self, timeout: Optional[float]) -> Event:
        """One wait for events(); a host-driven client's wait drives it."""
        if self._away:
            time.sleep(_AWAY_POLL_S if timeout is None else min(timeout, _AWAY_POLL_S))
            return self.wait(0)
        return self.wait(timeout)

    def _take(self, bits: Event) -> bool:
        """Queues the records `bits` announce, for events() and aevents();
        True when a wakeup ended the wait."""
        if bits & Event.TALK:
            self._pending.extend(self.lines())
        if bits & Event.ACTION:
            self._pending.extend(self.actions())
        if bits & Event.RECONNECTED:
            self._away = False
            self._pending.append(Reconnected())
        if bits & Event.USERS:
            self._pending.append(UsersChanged(tuple(self.users())))
        if bits & Event.DISCONNECTED:
            trying = self._reconnect and self.reconnect_status.trying
            if not (trying and self._away):  # a new break, or the end of its tries
                self._pending.append(Disconnected(reconnecting=trying))
            self._away = trying
        return bool(bits & Event.WAKEUP)


def _seconds(ms: int) -> Optional[float]:
    return None if ms < 0 else ms / 1000


def _soonest(*timeouts: Optional[float]) -> Optional[float]:
    """The shortest of the time-outs that are set; None when none is."""
    return min((t for t in timeouts if t is not None), default=None)


def _deadline(timeout: Optional[float]) -> Optional[float]:
    return None if timeout is None else time.monotonic() + timeout


def _left(deadline: Optional[float]) -> Optional[float]:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def _ends(event) -> bool:
    """A loop of events ends after a disconnection that is not followed by tries."""
    return isinstance(event, Disconnected) and not event.reconnecting
