"""What a NATS server that wants TLS or an identity needs, made for tests:
``tls_files`` a CA, a server certificate for 127.0.0.1 and a client
certificate (trustme); ``nkey_pair`` an NKEY seed and its key pair;
``operator_mode`` a server configuration in operator mode with a user's
credentials file (operator, account and user JWTs signed with nkeys)."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import time


def tls_files(directory: str) -> dict[str, str]:
    """A CA and certificates for 127.0.0.1 in ``directory``: paths by name
    (``ca``, ``server_cert``, ``server_key``, ``client_cert``, ``client_key``)."""
    import trustme

    ca = trustme.CA()
    server = ca.issue_cert("127.0.0.1")
    client = ca.issue_cert("bridge.client.test")
    paths = {
        n: os.path.join(directory, f"{n}.pem")
        for n in ("ca", "server_cert", "server_key", "client_cert", "client_key")
    }
    ca.cert_pem.write_to_path(paths["ca"])
    server.cert_chain_pems[0].write_to_path(paths["server_cert"])
    server.private_key_pem.write_to_path(paths["server_key"])
    client.cert_chain_pems[0].write_to_path(paths["client_cert"])
    client.private_key_pem.write_to_path(paths["client_key"])
    return paths


def nkey_pair(prefix: int | None = None):
    """``(seed, key pair)`` of a new NKEY (a user's unless ``prefix`` says)."""
    import nkeys

    prefix = nkeys.PREFIX_BYTE_USER if prefix is None else prefix
    seed = nkeys.encode_seed(os.urandom(32), prefix)
    return seed, nkeys.from_seed(bytearray(seed))


def _jwt(issuer, subject: str, name: str, claims: dict) -> str:
    def b64(data: bytes) -> str:
        return base64.urlsafe_b64encode(data).rstrip(b"=").decode()

    body = {"iat": int(time.time()), "iss": issuer.public_key.decode(), "name": name}
    body |= {"sub": subject, "nats": claims}
    digest = hashlib.sha256(json.dumps(body, sort_keys=True).encode()).digest()
    body["jti"] = base64.b32encode(digest).decode().rstrip("=")
    head = b64(json.dumps({"typ": "JWT", "alg": "ed25519-nkey"}).encode())
    payload = b64(json.dumps(body).encode())
    return f"{head}.{payload}.{b64(issuer.sign(f'{head}.{payload}'.encode()))}"


def operator_mode() -> tuple[str, str]:
    """``(server configuration, credentials file text)``: an operator, an
    account with JetStream, a system account, and one user of the account."""
    import nkeys

    _, operator = nkey_pair(nkeys.PREFIX_BYTE_OPERATOR)
    _, account = nkey_pair(nkeys.PREFIX_BYTE_ACCOUNT)
    _, system = nkey_pair(nkeys.PREFIX_BYTE_ACCOUNT)
    seed, user = nkey_pair()
    unlimited = dict.fromkeys(
        ("subs", "data", "payload", "imports", "exports", "conn", "leaf"), -1
    ) | {"wildcards": True}
    storage = dict.fromkeys(("mem_storage", "disk_storage", "streams", "consumer"), -1)
    op, acc, sys_acc = (k.public_key.decode() for k in (operator, account, system))
    config = f"""operator: {_jwt(operator, op, "op", {"type": "operator", "version": 2})}
system_account: {sys_acc}
resolver: MEMORY
resolver_preload: {{
  {acc}: {_jwt(operator, acc, "quotes", {"type": "account", "version": 2, "limits": unlimited | storage})}
  {sys_acc}: {_jwt(operator, sys_acc, "SYS", {"type": "account", "version": 2, "limits": unlimited})}
}}
"""
    user_jwt = _jwt(
        account,
        user.public_key.decode(),
        "bridge",
        {"type": "user", "version": 2, "pub": {}, "sub": {}, "subs": -1, "data": -1, "payload": -1},
    )
    creds = (
        f"-----BEGIN NATS USER JWT-----\n{user_jwt}\n------END NATS USER JWT------\n\n"
        f"-----BEGIN USER NKEY SEED-----\n{seed.decode()}\n------END USER NKEY SEED------\n"
    )
    return config, creds
