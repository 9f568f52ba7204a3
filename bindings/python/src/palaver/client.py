"""One chat-room client: its own connection, receive thread and room."""

import collections
import ctypes
import os
import threading
from typing import Iterator, List, Optional, Union

from . import _native
from .errors import LoginRefused, PalaverError, client_error
from .records import (
    NOTICE,
    Action,
    ChatLine,
    Disconnected,
    Event,
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

AnyEvent = Union[ChatLine, Action, UsersChanged, Disconnected]


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
    """

    def __init__(self, host: Optional[str] = None, port: int = 7400, *, codepage: str = "gbk"):
        self.codepage = codepage
        self._lib = _native.library()
        self._calls = threading.Condition()
        self._active = 0
        # Events taken from the library but not yet handed out by events(): a
        # loop that breaks off after one line of a batch loses none of the rest.
        self._pending = collections.deque()
        self._handle = self._lib.palaver_client_new()
        if not self._handle:
            raise MemoryError("palaver_client_new")
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
        # wait of other threads; a wait that began after that is woken by the
        # next round. No call can begin any more: the handle is gone.
        while True:
            with self._calls:
                if not self._active:
                    break
            self._lib.palaver_logout(handle)
            with self._calls:
                self._calls.wait_for(lambda: self._active == 0, _CLOSE_ROUND_S)
        self._lib.palaver_client_free(handle)

    @property
    def closed(self) -> bool:
        return not self._handle

    def _call(self, name: str, *args, failed=0):
        """Calls palaver_NAME on this client; raises the client's last error
        when it returns `failed`. The handle stays valid until the call returns."""
        with self._calls:
            handle = self._handle
            if not handle:
                raise PalaverError(_native.E_INVALID, "the client is closed")
            self._active += 1
        try:
            result = getattr(self._lib, name)(handle, *args)
            if result == failed:
                raise client_error(self._lib, handle)
            return result
        finally:
            with self._calls:
                self._active -= 1
                self._calls.notify_all()

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
        calls it off."""
        record = _native.UserInfo.from_buffer_copy(
            encode_user(
                self._encode(name, _NAME_MAX), room, model, self._encode(picture, _PICTURE_MAX)
            )
        )
        status = ctypes.c_int32()
        code = self._call(
            "palaver_login_with_status",
            ctypes.byref(record),
            self._encode(login),
            ctypes.byref(status),
            failed=None,
        )
        if code == _native.E_REFUSED:
            raise LoginRefused(status.value)
        if code != _native.OK:
            with self._calls:
                handle = self._handle
            # E_TIMEOUT, E_BROKEN_REPLY, E_CONNECT, a TLS code...: each its own.
            raise client_error(self._lib, handle) if handle else PalaverError(code)
        return decode_user(bytes(record), self.codepage)

    def logout(self) -> None:
        self._call("palaver_logout")

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

    # -- requests: each raises PalaverError when it was not written whole ----

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
        time-out. wakeup() or close() from another thread ends it at once."""
        timeout_ms = -1 if timeout is None else max(0, int(timeout * 1000))
        return Event(self._call("palaver_wait", timeout_ms, failed=-1))

    def wakeup(self) -> None:
        """Ends one wait() (or events() loop) of another thread at once, with
        Event.WAKEUP; when none waits, the next wait returns at once."""
        self._call("palaver_wakeup")

    def events(self, timeout: Optional[float] = None) -> Iterator[AnyEvent]:
        """Yields lines, actions, user-set changes and a disconnection as they
        come; stops after `timeout` seconds with nothing new, after the
        disconnection, on wakeup(), or when the client is closed. What one
        loop took but did not get to (it broke off) comes first in the next."""
        woken = False
        while not self.closed:
            while self._pending:
                try:
                    event = self._pending.popleft()
                except IndexError:  # another thread took the last one
                    break
                yield event
                if isinstance(event, Disconnected):
                    return
            if woken:
                return
            try:
                bits = self.wait(timeout)
            except PalaverError:
                if self.closed:
                    return
                raise
            if not bits:
                return
            woken = bool(bits & Event.WAKEUP)
            if bits & Event.TALK:
                self._pending.extend(self.lines())
            if bits & Event.ACTION:
                self._pending.extend(self.actions())
            if bits & Event.USERS:
                self._pending.append(UsersChanged(tuple(self.users())))
            if bits & Event.DISCONNECTED:
                self._pending.append(Disconnected())
