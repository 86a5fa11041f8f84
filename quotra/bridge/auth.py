"""Who the bridge's own connection says it is in its CONNECT: user and
password or a token (the URL's, else the environment's), or a signature of
the server's nonce with an NKEY seed file or a credentials file (user JWT and
seed). Signing is the ``nkeys`` package's, as nats-py does it; the seed is
read when the server asks and wiped after use, and appears in no message."""

from __future__ import annotations

import base64
from typing import Any

from .options import NatsOptions

__all__ = ["connect_fields", "check_identity", "AuthError", "read_creds"]


class AuthError(ValueError):
    """A seed or credentials file that cannot be used, or no nonce to sign."""


def _seed_key(seed: bytearray) -> Any:
    import nkeys  # type: ignore[import-untyped]

    try:
        return nkeys.from_seed(seed)
    except Exception as exc:  # nkeys raises its own errors: none of them shows the seed
        raise AuthError(f"not a valid NKEY seed ({type(exc).__name__})") from None


def read_creds(path: str) -> tuple[str, bytearray]:
    """The user JWT and the seed of a credentials file (the blocks between
    ``-----BEGIN NATS USER JWT-----`` and ``-----BEGIN USER NKEY SEED-----``
    lines and their ends, as nats-py reads them)."""
    with open(path, "rb") as f:
        lines = f.read().splitlines()
    jwt: bytes | None = None
    seed: bytearray | None = None
    for i, line in enumerate(lines[:-1]):
        if b"BEGIN NATS USER JWT" in line:
            jwt = lines[i + 1].strip()
        elif b"BEGIN USER NKEY SEED" in line:
            seed = bytearray(lines[i + 1].strip())
    if not jwt or not seed:
        raise AuthError(f"--nats-creds {path}: no user JWT and seed in it")
    return jwt.decode(), seed


def _sign(seed: bytearray, nonce: Any) -> tuple[str, str]:
    """``(public key, signature)`` of ``nonce`` with ``seed`` (wiped after)."""
    if not isinstance(nonce, str) or not nonce:
        raise AuthError("the NATS server sent no nonce to sign: it does not take NKEY users")
    kp = _seed_key(seed)
    try:
        return kp.public_key.decode(), base64.b64encode(kp.sign(nonce.encode())).decode()
    finally:
        kp.wipe()
        seed[:] = bytes(len(seed))


def check_identity(options: NatsOptions) -> None:
    """Whether the seed or credentials file of ``options`` can be used: read,
    parsed and wiped at once (AuthError), so that a bad file stops a command
    at its start rather than failing every connection."""
    seed: bytearray | None = None
    if options.creds_file is not None:
        _, seed = read_creds(options.creds_file)
    elif options.nkey_file is not None:
        with open(options.nkey_file, "rb") as f:
            seed = bytearray(f.read().strip())
    if seed is not None:
        _seed_key(seed).wipe()
        seed[:] = bytes(len(seed))


def connect_fields(options: NatsOptions, url: str, info: dict[str, Any]) -> dict[str, str]:
    """The CONNECT fields that authenticate on ``url`` given the server's INFO."""
    if options.creds_file is not None:
        jwt, seed = read_creds(options.creds_file)
        _, sig = _sign(seed, info.get("nonce"))
        return {"jwt": jwt, "sig": sig}
    if options.nkey_file is not None:
        with open(options.nkey_file, "rb") as f:
            seed = bytearray(f.read().strip())
        public, sig = _sign(seed, info.get("nonce"))
        return {"nkey": public, "sig": sig}
    return options.url_auth(url)
