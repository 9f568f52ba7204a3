"""Many clients, one thread: palaver_poller_* over Client objects."""

import threading
from typing import List, Optional, Tuple

from . import _native
from .client import Client
from .errors import PalaverError
from .records import Event

_CLOSE_ROUND_S = 0.05


class Poller:
    """A set of clients of either kind and one wait for any of them. wait()
    does the work of the host-driven members that are ready or due (as their
    process()) and returns (client, Event) for every member with something
    to take, level-triggered: a member stays reported while it has something,
    and one that is away after a break (set_reconnect) on every wait.
    A client belongs to at most one poller; closing it leaves the poller."""

    def __init__(self):
        self._lib = _native.library()
        self._members = {}  # the handle's address -> its Client
        self._lock = threading.Condition()
        self._waiting = False
        self._handle = self._lib.palaver_poller_new()
        if not self._handle:
            raise MemoryError("palaver_poller_new")

    def __enter__(self) -> "Poller":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None):
            self.close()

    def close(self) -> None:
        """Wakes a wait of another thread and frees the poller once it has
        returned; the members stay open."""
        with self._lock:
            handle, self._handle = self._handle, None
            while handle and self._waiting:
                self._lib.palaver_poller_wakeup(handle)
                self._lock.wait(_CLOSE_ROUND_S)
        if handle:
            self._lib.palaver_poller_free(handle)

    def _poller(self):
        if not self._handle:
            raise PalaverError(_native.E_INVALID, "the poller is closed")
        return self._handle

    def add(self, client: Client) -> None:
        with client._held() as handle, self._lock:
            if not self._lib.palaver_poller_add(self._poller(), handle):
                raise PalaverError(_native.E_INVALID, "the client belongs to another poller")
            self._members[handle] = client

    def remove(self, client: Client) -> None:
        with client._held() as handle, self._lock:
            self._lib.palaver_poller_remove(self._poller(), handle)
            self._members.pop(handle, None)

    def wakeup(self) -> None:
        """Ends the current wait (or the next) with (None, Event.WAKEUP)."""
        with self._lock:
            self._lib.palaver_poller_wakeup(self._poller())

    def wait(self, timeout: Optional[float] = None) -> List[Tuple[Optional[Client], Event]]:
        """The members with something to take, after at most `timeout`
        seconds (None: no end); [] after the time-out. One wait at a time."""
        with self._lock:
            handle = self._poller()
            if self._waiting:
                raise PalaverError(_native.E_INVALID, "another thread waits on the poller")
            self._waiting = True
            capacity = len(self._members) + 1  # and the poller's own wake-up
        ready = (_native.ReadyRecord * capacity)()
        timeout_ms = -1 if timeout is None else max(0, int(timeout * 1000))
        try:
            count = self._lib.palaver_poller_wait(handle, ready, capacity, timeout_ms)
        finally:
            with self._lock:
                self._waiting = False
                self._lock.notify_all()
        if count < 0:
            raise PalaverError(self._lib.palaver_last_error())
        with self._lock:  # a member closed meanwhile is left out
            found = [(self._members.get(r.client), Event(r.events)) for r in ready[:count]]
        return [(c, e) for c, e in found if (c and not c.closed) or e & Event.WAKEUP]
