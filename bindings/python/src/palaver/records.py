"""What the room holds, as small immutable dataclasses, and the 83-byte user
record's profile layout (the one include/PalaverProfile.h reads and writes)."""

import enum
import struct
from dataclasses import dataclass
from typing import Optional, Tuple

# Bytes 0-82: id, name field (31), model, picture field (11), x, y, z, fourth,
# a zero byte, the room as the little-endian location key.
_PROFILE = struct.Struct("<i31si11sdddfBI")
assert _PROFILE.size == 83

NOTICE = -2  # sender and target of the library's own notices


class Event(enum.IntFlag):
    """What Client.wait reports; an empty flag means the time-out passed.
    WAKEUP: Client.wakeup() or close() from another thread ended the wait.
    RECONNECTED: logged in again after a break (Client.set_reconnect)."""

    TALK = 1
    ACTION = 2
    USERS = 4
    DISCONNECTED = 8
    WAKEUP = 16
    RECONNECTED = 32


@dataclass(frozen=True)
class User:
    id: int
    name: str
    room: int = 0
    model: int = 0
    picture: str = ""
    position: Tuple[float, float, float] = (0.0, 0.0, 0.0)
    fourth: float = 0.0


@dataclass(frozen=True)
class ChatLine:
    sender: int
    target: int
    text: str
    whisper: bool = False
    room: int = 0

    @property
    def is_notice(self) -> bool:
        """An arrival, departure or rename told by the library itself."""
        return self.sender == NOTICE


@dataclass(frozen=True)
class Action:
    sender: int
    target: int
    action: int


@dataclass(frozen=True)
class UsersChanged:
    """The room's users after an arrival, departure, rename, walk or room list."""

    users: Tuple[User, ...]


@dataclass(frozen=True)
class Disconnected:
    """The connection ended (the server closed it, a kick, a network error).
    `reconnecting`: the client will log in again by itself (set_reconnect);
    a Reconnected follows when it is back, or a Disconnected without it when
    the tries stopped."""

    reconnecting: bool = False


@dataclass(frozen=True)
class Reconnected:
    """Logged in again after a break; a UsersChanged with the new room follows."""


@dataclass(frozen=True)
class ReconnectStatus:
    """`trying`: away after a break and trying again; `last_error`: why the
    last try failed (None when none failed since the break)."""

    trying: bool
    last_error: Optional[Exception] = None


def _field(raw: bytes) -> bytes:
    return raw.split(b"\0", 1)[0]


def decode_user(raw: bytes, codepage: str) -> User:
    uid, name, model, picture, x, y, z, fourth, _zero, room = _PROFILE.unpack(raw)
    return User(
        id=uid,
        name=_field(name).decode(codepage, "replace"),
        room=room,
        model=model,
        picture=_field(picture).decode(codepage, "replace"),
        position=(x, y, z),
        fourth=fourth,
    )


def encode_user(name: bytes, room: int, model: int, picture: bytes) -> bytes:
    """A login record; names and pictures too long for their fields are refused
    by the caller, so nothing is cut here."""
    return _PROFILE.pack(0, name, model, picture, 0.0, 0.0, 0.0, 0.0, 0, room & 0xFFFFFFFF)


def room_of(location_key) -> int:
    return int.from_bytes(bytes(location_key), "little")
