"""Failures of the library as exceptions that carry its error code and text."""

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


def last_error() -> PalaverError:
    """The calling thread's last error of the library, as an exception; its
    text ends with the failing layer's own reason (a TLS refusal's) when the
    library has one."""
    lib = _native.library()
    code = lib.palaver_last_error()
    detail = lib.palaver_last_error_detail().decode("utf-8", "replace")
    return PalaverError(code, f"{error_text(code)}: {detail}" if detail else None)
