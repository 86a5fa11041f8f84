"""How a bridge, a recorder or a consumer reaches a NATS server: the server
list and its order, TLS, and who it is (user and password, token, NKEY seed
or credentials file).

One ``NatsOptions`` serves the bridge's own connection (``wire.py``) and
nats-py's (``nats_py_kwargs``), and one set of command-line options
(``add_arguments``) serves ``quotra-bridge`` and ``quotra-record``.

Secrets never come from the command line (``ps`` shows it): a password or a
token comes from the URL or from ``NATS_USER``/``NATS_PASSWORD``/``NATS_TOKEN``
in the environment, an NKEY seed or a user JWT from a file named on the
command line. The options' ``repr`` and ``describe()`` show none of them.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import random
import ssl
from collections.abc import Mapping, Sequence
from typing import Any
from urllib.parse import unquote, urlsplit

from .names import DEFAULT_NATS, redact, servers

__all__ = ["NatsOptions", "add_arguments", "from_args", "OptionsError"]

ENV_USER = "NATS_USER"
ENV_PASSWORD = "NATS_PASSWORD"
ENV_TOKEN = "NATS_TOKEN"


class OptionsError(ValueError):
    """A NATS option that cannot be used (a file missing, a pair half given)."""


@dataclasses.dataclass(frozen=True)
class NatsOptions:
    """Everything needed to open a connection to one of ``servers``."""

    servers: tuple[str, ...] = (DEFAULT_NATS,)
    # TLS: a CA bundle to trust instead of the system's, and a client
    # certificate with its key for servers that verify clients.
    ca_file: str | None = None
    cert_file: str | None = None
    key_file: str | None = None
    # The TLS handshake before the server's first protocol line, for servers
    # configured with handshake_first.
    tls_first: bool = False
    # Identity from files: an NKEY seed, or a credentials file (user JWT and seed).
    nkey_file: str | None = None
    creds_file: str | None = None
    # From the environment, used only where a URL carries no user information.
    user: str | None = dataclasses.field(default=None, repr=False)
    password: str | None = dataclasses.field(default=None, repr=False)
    token: str | None = dataclasses.field(default=None, repr=False)
    # Try the servers in a random order (every process starting on the first
    # node puts a whole fleet on it).
    shuffle: bool = True

    def __repr__(self) -> str:
        # The dataclass's own repr would show the servers as given, a URL's
        # user and password or token included.
        fields = ", ".join(
            f"{f.name}={redact(','.join(self.servers)) if f.name == 'servers' else getattr(self, f.name)!r}"
            for f in dataclasses.fields(self)
            if f.repr
        )
        return f"NatsOptions({fields})"

    def __post_init__(self) -> None:
        object.__setattr__(self, "servers", tuple(servers(self.servers)))
        for url in self.servers:
            scheme = urlsplit(url).scheme
            if scheme not in ("nats", "tls"):
                raise OptionsError(f"{redact(url)}: a NATS server is nats:// or tls://")
        if (self.cert_file is None) != (self.key_file is None):
            raise OptionsError(
                "a client certificate needs both --nats-cert-file and --nats-key-file"
            )
        if self.nkey_file is not None and self.creds_file is not None:
            raise OptionsError("give --nats-nkey or --nats-creds, not both")
        for what, path in (
            ("--nats-ca-file", self.ca_file),
            ("--nats-cert-file", self.cert_file),
            ("--nats-key-file", self.key_file),
            ("--nats-nkey", self.nkey_file),
            ("--nats-creds", self.creds_file),
        ):
            if path is not None and not os.path.isfile(path):
                raise OptionsError(f"{what}: no such file: {path}")

    @classmethod
    def from_env(
        cls, given: Any = DEFAULT_NATS, environ: Mapping[str, str] | None = None, **kwargs: Any
    ) -> NatsOptions:
        """Options for ``given`` (a URL, ``a,b`` or a list), with user,
        password and token taken from ``environ`` (default ``os.environ``)."""
        env = os.environ if environ is None else environ
        return cls(
            servers=tuple(servers(given)),
            user=env.get(ENV_USER) or None,
            password=env.get(ENV_PASSWORD) or None,
            token=env.get(ENV_TOKEN) or None,
            **kwargs,
        )

    @property
    def uses_tls(self) -> bool:
        """Whether connections are TLS: a tls:// server, a CA or a client certificate."""
        return (
            self.ca_file is not None
            or self.cert_file is not None
            or self.tls_first
            or any(u.startswith("tls://") for u in self.servers)
        )

    def ordered_servers(self, rng: random.Random | None = None) -> list[str]:
        """The servers in the order to try them: shuffled unless asked not to."""
        order = list(self.servers)
        if self.shuffle and len(order) > 1:
            (rng or random).shuffle(order)
        return order

    def ssl_context(self) -> ssl.SSLContext | None:
        """A context of these options' own (never the process's default), or
        None for plain connections. Files are read here, once."""
        if not self.uses_tls:
            return None
        try:
            ctx = ssl.create_default_context(cafile=self.ca_file)
            if self.cert_file is not None:
                ctx.load_cert_chain(self.cert_file, self.key_file)
        except (OSError, ssl.SSLError) as exc:
            raise OptionsError(f"NATS TLS files cannot be used: {exc}") from None
        return ctx

    def url_auth(self, url: str) -> dict[str, str]:
        """The CONNECT fields that authenticate on ``url`` with user, password
        or token: the URL's own, else the environment's."""
        u = urlsplit(url)
        if u.username and u.password is not None:
            return {"user": unquote(u.username), "pass": unquote(u.password)}
        if u.username:
            return {"auth_token": unquote(u.username)}
        if self.user is not None:
            return {"user": self.user, "pass": self.password or ""}
        if self.token is not None:
            return {"auth_token": self.token}
        return {}

    def nats_py_kwargs(self) -> dict[str, Any]:
        """Keyword arguments for ``nats.connect`` with these options
        (servers not included: pass ``ordered_servers()``)."""
        kw: dict[str, Any] = {"dont_randomize": not self.shuffle}
        ctx = self.ssl_context()
        if ctx is not None:
            kw["tls"] = ctx
            if self.tls_first:
                kw["tls_handshake_first"] = True
        if self.nkey_file is not None:
            kw["nkeys_seed"] = self.nkey_file
        if self.creds_file is not None:
            kw["user_credentials"] = self.creds_file
        if not any(urlsplit(u).username for u in self.servers):
            if self.user is not None:
                kw["user"] = self.user
                kw["password"] = self.password or ""
            elif self.token is not None:
                kw["token"] = self.token
        return kw

    def describe(self) -> str:
        """One line for a log: servers redacted, files named, no secret."""
        parts = [redact(",".join(self.servers))]
        if self.uses_tls:
            parts.append("tls" + (" (handshake first)" if self.tls_first else ""))
        if self.nkey_file is not None:
            parts.append("nkey")
        if self.creds_file is not None:
            parts.append("credentials file")
        if self.user is not None:
            parts.append("user from environment")
        elif self.token is not None:
            parts.append("token from environment")
        return ", ".join(parts)


def add_arguments(parser: argparse.ArgumentParser, prefix_help: str = "") -> None:
    """The NATS connection options every command shares."""
    g = parser.add_argument_group(
        "NATS connection",
        "user and password or a token: in the URL, or NATS_USER/NATS_PASSWORD/NATS_TOKEN "
        "in the environment (never on the command line)" + prefix_help,
    )
    g.add_argument("--nats-ca-file", metavar="FILE", help="CA bundle for tls:// servers")
    g.add_argument(
        "--nats-cert-file", metavar="FILE", help="client certificate (with --nats-key-file)"
    )
    g.add_argument("--nats-key-file", metavar="FILE", help="client certificate's key")
    g.add_argument(
        "--nats-tls-first",
        action="store_true",
        help="TLS handshake before the server's first line (servers with handshake_first)",
    )
    g.add_argument("--nats-nkey", metavar="FILE", help="NKEY seed file of the user")
    g.add_argument("--nats-creds", metavar="FILE", help="credentials file (user JWT and NKEY seed)")
    g.add_argument(
        "--nats-no-shuffle",
        action="store_true",
        help="try the servers in the order given (default: a random order)",
    )


def from_args(
    args: argparse.Namespace, given: Sequence[str] | str, environ: Mapping[str, str] | None = None
) -> NatsOptions:
    """The options ``add_arguments`` parsed, for the servers ``given``."""
    return NatsOptions.from_env(
        given,
        environ,
        ca_file=args.nats_ca_file,
        cert_file=args.nats_cert_file,
        key_file=args.nats_key_file,
        tls_first=args.nats_tls_first,
        nkey_file=args.nats_nkey,
        creds_file=args.nats_creds,
        shuffle=not args.nats_no_shuffle,
    )
