"""Palaver for Python: a chat-room client over the library's C interface.

The library is the one a platform wheel carries inside this package, else the
one the PALAVER_LIBRARY environment variable names (a path to libPalaver.so or
Palaver.dll), else where the system finds libraries (ctypes.util.find_library,
the usual lib folders, LD_LIBRARY_PATH).
"""

from .client import Client
from .errors import LoginRefused, PalaverError
from .poller import Poller
from .records import (
    Action,
    ChatLine,
    Disconnected,
    Event,
    Reconnected,
    ReconnectStatus,
    User,
    UsersChanged,
)


def library_version() -> str:
    """The loaded library's version, "MAJOR.MINOR.PATCH"."""
    from . import _native

    return _native.library().palaver_version().decode("ascii")


__all__ = [
    "Action",
    "ChatLine",
    "Client",
    "Disconnected",
    "Event",
    "LoginRefused",
    "PalaverError",
    "Poller",
    "Reconnected",
    "ReconnectStatus",
    "User",
    "UsersChanged",
    "library_version",
]
