"""TLS material: a throwaway certificate authority, its CA file, and the
server certificates the service can present.

Certificates are made with ``trustme``, the ``service`` extra. It is imported
when material is first made, so that ``import quotra.service`` works without
it and the command line can say how to get it.
"""

from __future__ import annotations

import datetime
import os
import shutil
import ssl
import sys
import tempfile
import weakref
from typing import Any

__all__ = [
    "TLS_MODES",
    "WRONG_HOST_NAME",
    "MISSING_TRUSTME",
    "load_trustme",
    "trustme_missing",
    "TlsMaterial",
]

#: Certificate the service presents: from the CA in ``ca_file`` for 127.0.0.1
#: and localhost ("trusted"); from a CA the client does not know ("untrusted");
#: from the right CA but for another host name ("wrong_host"); from the right
#: CA for the right names but expired yesterday ("expired").
TLS_MODES = ("trusted", "untrusted", "wrong_host", "expired")
WRONG_HOST_NAME = "wrong-host.invalid"
#: The names a "trusted" certificate is issued for.
SERVER_NAMES = ("127.0.0.1", "localhost")

MISSING_TRUSTME = (
    "the local market-data service needs trustme to make its certificates: "
    "pip install 'quotra[service]'"
)


def load_trustme() -> Any:
    """The ``trustme`` module, or ``ImportError`` saying how to install it."""
    try:
        import trustme
    except ImportError as exc:
        raise ImportError(MISSING_TRUSTME, name="trustme") from exc
    return trustme


def trustme_missing(prog: str) -> bool:
    """For a command line: True, after one line on stderr naming the fix,
    when ``trustme`` cannot be imported."""
    try:
        load_trustme()
    except ImportError as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return True
    return False


def check_tls_mode(mode: str) -> str:
    if mode not in TLS_MODES:
        raise ValueError(f"tls must be one of {TLS_MODES}, not {mode!r}")
    return mode


class TlsMaterial:
    """A CA written to ``ca_file`` (PEM) and, made on first use, one server
    context per TLS mode; certificates name 127.0.0.1, localhost and ``host``.

    Without ``ca_file`` the CA goes to a file in a new temporary folder,
    removed by ``close_files()`` or when this object is collected.
    """

    def __init__(self, ca_file: str | None = None, host: str | None = None):
        self._trustme = load_trustme()
        self._ca = self._trustme.CA()
        self._names = SERVER_NAMES if host in (None, *SERVER_NAMES) else (*SERVER_NAMES, host)
        self._certs: dict[str, Any] = {}
        self._contexts: dict[str, ssl.SSLContext] = {}
        if ca_file is None:
            tmpdir = tempfile.mkdtemp(prefix="quotra-service-")
            self._cleanup: weakref.finalize[..., Any] | None = weakref.finalize(
                self, shutil.rmtree, tmpdir, True
            )
            ca_file = os.path.join(tmpdir, "ca.pem")
        else:
            self._cleanup = None
            ca_file = os.path.abspath(ca_file)
        self.ca_file = ca_file
        self._ca.cert_pem.write_to_path(ca_file)

    @property
    def ca_pem(self) -> bytes:
        pem: bytes = self._ca.cert_pem.bytes()
        return pem

    def close_files(self) -> None:
        if self._cleanup is not None:
            self._cleanup()

    def server_context(self, mode: str) -> ssl.SSLContext:
        """The server context presenting ``mode``'s certificate (made once per mode)."""
        ctx = self._contexts.get(mode)
        if ctx is not None:
            return ctx
        check_tls_mode(mode)
        if mode == "trusted":
            cert = self._ca.issue_cert(*self._names)
        elif mode == "untrusted":
            cert = self._trustme.CA().issue_cert(*self._names)
        elif mode == "wrong_host":
            cert = self._ca.issue_cert(WRONG_HOST_NAME)
        else:  # expired
            now = datetime.datetime.now(datetime.UTC)
            cert = self._ca.issue_cert(
                *self._names,
                not_before=now - datetime.timedelta(days=2),
                not_after=now - datetime.timedelta(days=1),
            )
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cert.configure_cert(ctx)
        self._certs[mode] = cert
        self._contexts[mode] = ctx
        return ctx

    def client_context(self) -> ssl.SSLContext:
        """A client context trusting this CA, for code that does not use ``SSL_CERT_FILE``."""
        return ssl.create_default_context(cafile=self.ca_file)
