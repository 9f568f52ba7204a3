"""Failures of the library as exceptions that carry its error code and text."""

import ctypes

from . import _native


class PalaverError(Exception):
    """A call the library refused or that failed: `code` is one of palaver_c.h's
    PALAVER_E_* values (negative), `text` the library's own words for it."""

    def __init__(self, code: int, text: str = None):
        self.code = code
        self.text = text if text is not None else error_text(code)
        super().__init__(f"{self.text} (code {code})")


class LoginRefused(PalaverError):
    """The server answered the login with a refusal: `server_code` is its code
    (-2 malformed, -3 wrong login string or unknown name, -4 full, -5 banned)."""

    def __init__(self, server_code: int):
        self.server_code = server_code
        super().__init__(_native.E_REFUSED)
        self.args = (f"{self.text} (server's code {server_code})",)


def error_text(code: int) -> str:
    return _native.library().palaver_error_text(code).decode("ascii", "replace")


def client_error(lib, handle) -> PalaverError:
    """The last error of the client `handle`, as an exception: the library
    keeps it per client, so it is right whichever thread reads it. Its text
    ends with the failing layer's own reason (a TLS refusal's) when the
    library has one."""
    code = lib.palaver_client_last_error(handle)
    detail = ctypes.create_string_buffer(256)
    lib.palaver_client_last_error_detail(handle, detail, len(detail))
    words = detail.value.decode("utf-8", "replace")
    return PalaverError(code, f"{error_text(code)}: {words}" if words else None)
