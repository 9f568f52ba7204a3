"""The C interface (palaver_c.h) as ctypes declarations, and finding the library.

Nothing here converts text or raises the binding's exceptions; client.py does.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

# Error codes and wait bits, as in palaver_c.h.
OK = 0
E_INVALID = -1
E_TOO_LONG = -2
E_NOT_CONNECTED = -3
E_TIMEOUT = -7
E_CANCELLED = -8
E_REFUSED = -9
E_BROKEN_REPLY = -10
E_TLS_UNAVAILABLE = -14
E_TLS_SETUP = -15
E_TLS_CERTIFICATE = -16
E_TLS_HANDSHAKE = -17
E_INTERNAL = -18
E_BUSY = -19

EVENT_TALK = 1
EVENT_ACTION = 2
EVENT_USERS = 4
EVENT_DISCONNECTED = 8
EVENT_WAKEUP = 16
EVENT_RECONNECTED = 32

TEXT_MAX = 500


class UserInfo(ctypes.Structure):
    """stUserInfo: packed, 83 bytes."""

    _pack_ = 1
    _fields_ = [
        ("userId", ctypes.c_int32),
        ("name", ctypes.c_char * 75),
        ("locationKey", ctypes.c_ubyte * 4),
    ]


class ActionContent(ctypes.Structure):
    """stActionContent: packed, 9 bytes."""

    _pack_ = 1
    _fields_ = [
        ("sender", ctypes.c_int32),
        ("target", ctypes.c_int32),
        ("action", ctypes.c_ubyte),
    ]


class ChatLineRecord(ctypes.Structure):
    """palaver_chat_line: natural C alignment (520 bytes on every ABI we build)."""

    _fields_ = [
        ("sender", ctypes.c_int32),
        ("target", ctypes.c_int32),
        ("locationKey", ctypes.c_ubyte * 4),
        ("whisper", ctypes.c_uint8),
        ("length", ctypes.c_uint16),
        ("text", ctypes.c_char * (TEXT_MAX + 1)),
    ]


class ReadyRecord(ctypes.Structure):
    """palaver_ready: one member of a poller with something to take."""

    _fields_ = [("client", ctypes.c_void_p), ("events", ctypes.c_int)]


# A wrong size here would make every record after the first of a batch garbage.
assert ctypes.sizeof(UserInfo) == 83
assert ctypes.sizeof(ActionContent) == 9

_c = ctypes
_client_p = ctypes.c_void_p
_poller_p = ctypes.c_void_p
# A socket and an event are a descriptor (int) on POSIX, a SOCKET (uintptr_t)
# and a HANDLE on Windows; socket_of() and event_of() give -1 for none.
_WINDOWS = sys.platform == "win32"
_socket = _c.c_size_t if _WINDOWS else _c.c_int
_event = _c.c_void_p if _WINDOWS else _c.c_int
_SIGNATURES = {
    "palaver_version": (_c.c_char_p, []),
    "palaver_last_error": (_c.c_int, []),
    "palaver_error_text": (_c.c_char_p, [_c.c_int]),
    "palaver_last_error_detail": (_c.c_char_p, []),
    "palaver_client_new": (_client_p, []),
    "palaver_client_free": (None, [_client_p]),
    "palaver_set_server": (_c.c_int, [_client_p, _c.c_char_p, _c.c_int]),
    "palaver_set_tls": (_c.c_int, [_client_p, _c.c_int]),
    "palaver_set_tls_ca_file": (_c.c_int, [_client_p, _c.c_char_p]),
    "palaver_set_tls_verify": (_c.c_int, [_client_p, _c.c_int]),
    "palaver_login": (_c.c_int, [_client_p, _c.POINTER(UserInfo), _c.c_char_p]),
    "palaver_login_with_status": (
        _c.c_int,
        [_client_p, _c.POINTER(UserInfo), _c.c_char_p, _c.POINTER(_c.c_int32)],
    ),
    "palaver_client_last_error": (_c.c_int, [_client_p]),
    "palaver_client_last_error_detail": (_c.c_size_t, [_client_p, _c.c_char_p, _c.c_size_t]),
    "palaver_logout": (_c.c_int, [_client_p]),
    "palaver_is_connected": (_c.c_int, [_client_p]),
    "palaver_send_talk": (_c.c_int, [_client_p, _c.c_int32, _c.c_char_p, _c.c_int]),
    "palaver_send_talks": (
        _c.c_int,
        [_client_p, _c.c_int32, _c.POINTER(_c.c_char_p), _c.c_size_t, _c.c_int],
    ),
    "palaver_do_action": (_c.c_int, [_client_p, _c.c_int32, _c.c_ubyte]),
    "palaver_walk": (_c.c_int, [_client_p, _c.c_double, _c.c_double, _c.c_double, _c.c_float]),
    "palaver_change_name": (_c.c_int, [_client_p, _c.c_char_p]),
    "palaver_change_model": (_c.c_int, [_client_p, _c.c_int32]),
    "palaver_change_picture": (_c.c_int, [_client_p, _c.c_char_p]),
    "palaver_kick": (_c.c_int, [_client_p, _c.c_int32, _c.c_int32]),
    "palaver_request_room_list": (_c.c_int, [_client_p]),
    "palaver_get_users": (
        _c.c_int,
        [_client_p, _c.POINTER(UserInfo), _c.c_size_t, _c.POINTER(_c.c_size_t)],
    ),
    "palaver_get_talk": (
        _c.c_int,
        [_client_p, _c.POINTER(ChatLineRecord), _c.c_size_t, _c.POINTER(_c.c_size_t)],
    ),
    "palaver_get_actions": (
        _c.c_int,
        [_client_p, _c.POINTER(ActionContent), _c.c_size_t, _c.POINTER(_c.c_size_t)],
    ),
    "palaver_copy_self": (_c.c_int, [_client_p, _c.POINTER(UserInfo)]),
    "palaver_wait": (_c.c_int, [_client_p, _c.c_int]),
    "palaver_wakeup": (_c.c_int, [_client_p]),
    "palaver_set_send_limit": (_c.c_int, [_client_p, _c.c_int]),
    "palaver_set_talk_limit": (_c.c_int, [_client_p, _c.c_size_t, _c.c_size_t]),
    "palaver_dropped_talk": (_c.c_uint64, [_client_p]),
    # 1.4: the host-driven client, the event descriptor, the poller, reconnect.
    "palaver_client_new_host_driven": (_client_p, []),
    "palaver_is_host_driven": (_c.c_int, [_client_p]),
    "palaver_socket_of": (_socket, [_client_p]),
    "palaver_want_write": (_c.c_int, [_client_p]),
    "palaver_process": (_c.c_int, [_client_p]),
    "palaver_next_timeout": (_c.c_int, [_client_p]),
    "palaver_set_send_buffer": (_c.c_int, [_client_p, _c.c_size_t]),
    "palaver_event_of": (_event, [_client_p]),
    "palaver_poller_new": (_poller_p, []),
    "palaver_poller_free": (None, [_poller_p]),
    "palaver_poller_add": (_c.c_int, [_poller_p, _client_p]),
    "palaver_poller_remove": (_c.c_int, [_poller_p, _client_p]),
    "palaver_poller_wait": (
        _c.c_int,
        [_poller_p, _c.POINTER(ReadyRecord), _c.c_size_t, _c.c_int],
    ),
    "palaver_poller_wakeup": (_c.c_int, [_poller_p]),
    "palaver_set_reconnect": (_c.c_int, [_client_p, _c.c_int]),
    "palaver_set_reconnect_delays": (
        _c.c_int,
        [_client_p, _c.c_int, _c.c_int, _c.c_int, _c.c_int],
    ),
    "palaver_reconnect_status": (_c.c_int, [_client_p, _c.POINTER(_c.c_int)]),
}


def socket_of(lib, handle) -> int:
    """The client's socket as a number select and asyncio take; -1 for none."""
    value = lib.palaver_socket_of(handle)
    return -1 if _WINDOWS and value == ctypes.c_size_t(-1).value else value


def event_of(lib, handle) -> int:
    """The client's event descriptor (a HANDLE's value on Windows); -1 for none."""
    value = lib.palaver_event_of(handle)
    return -1 if value is None else value


def _names():
    if sys.platform == "win32":
        return ["Palaver.dll"]
    if sys.platform == "darwin":
        return ["libPalaver.dylib"]
    return ["libPalaver.so", "libPalaver.so.1"]


def _candidates():
    """Where the library may be, in order: inside this package (a platform
    wheel carries it there), PALAVER_LIBRARY, then where the system looks."""
    here = os.path.dirname(os.path.abspath(__file__))
    bundled = [os.path.join(here, n) for n in _names() if os.path.isfile(os.path.join(here, n))]
    explicit = os.environ.get("PALAVER_LIBRARY")
    if explicit:
        return bundled + [explicit]  # a set variable replaces the system's search
    found = ctypes.util.find_library("Palaver")
    dirs = [os.path.join(sys.prefix, "lib"), "/usr/local/lib", "/usr/lib", "/opt/palaver/lib"]
    paths = bundled + ([found] if found else [])
    paths += [os.path.join(d, n) for d in dirs for n in _names()]
    return paths + _names()  # bare names: the system's own search (LD_LIBRARY_PATH, PATH)


def load(path=None):
    """Loads the library from `path`, or from the first candidate that loads."""
    tried = []
    for candidate in [path] if path else _candidates():
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as error:
            tried.append(f"{candidate}: {error}")
            continue
        for name, (restype, argtypes) in _SIGNATURES.items():
            # A library older than this binding lacks the newest functions:
            # it still serves the rest, and a call of a missing one raises
            # AttributeError with its name.
            function = getattr(lib, name, None)
            if function is None:
                continue
            function.restype = restype
            function.argtypes = argtypes
        return lib
    raise OSError(
        "the Palaver library was not found; set PALAVER_LIBRARY to the path of "
        "libPalaver.so (Palaver.dll on Windows). Tried:\n  " + "\n  ".join(tried)
    )


_library = None
_library_lock = threading.Lock()


def library():
    """The process's one loaded copy of the library, loaded on first use."""
    global _library
    with _library_lock:
        if _library is None:
            _library = load()
        return _library
