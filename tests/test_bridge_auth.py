"""``quotra-bridge`` on a NATS server that wants TLS or an identity: each row
a real nats-server configured for it (the tests make their own CA and keys),
the bridge a process publishing the local service's quotes; no secret ever
in its output or in its arguments."""

import os
import subprocess
import sys

import pytest

from harness import limit
from nats_auth import nkey_pair, operator_mode, tls_files
from nats_server import NatsServer
from quotra.service import ServiceThread
from test_bridge import ROOT, stop_bridge, wait


def tls(paths, first=False):
    return (
        f'tls {{ cert_file: "{paths["server_cert"]}", key_file: "{paths["server_key"]}", '
        f'ca_file: "{paths["ca"]}", verify: true{", handshake_first: true" if first else ""} }}\n'
    )


def tls_row(tmp, first=False):
    paths = tls_files(tmp)
    args = ["--nats-ca-file", paths["ca"], "--nats-cert-file", paths["client_cert"]]
    args += ["--nats-key-file", paths["client_key"]] + (["--nats-tls-first"] if first else [])
    return tls(paths, first), "tls", args, {}, []


def user_row(tmp):
    config = 'authorization { user: bridge, password: "pa55-in-env" }\n'
    return config, "nats", [], {"NATS_USER": "bridge", "NATS_PASSWORD": "pa55-in-env"}, ["pa55"]


def token_row(tmp):
    config = 'authorization { token: "t0ken-in-env" }\n'
    return config, "nats", [], {"NATS_TOKEN": "t0ken-in-env"}, ["t0ken"]


def nkey_row(tmp):
    seed, key = nkey_pair()
    path = os.path.join(tmp, "bridge.nk")
    with open(path, "wb") as f:
        f.write(seed + b"\n")
    config = f"authorization {{ users = [ {{ nkey: {key.public_key.decode()} }} ] }}\n"
    return config, "nats", ["--nats-nkey", path], {}, [seed.decode()]


def creds_row(tmp):
    config, creds = operator_mode()
    path = os.path.join(tmp, "bridge.creds")
    with open(path, "w") as f:
        f.write(creds)
    seed = next(line for line in creds.splitlines() if line.startswith("SU"))
    return config, "nats", ["--nats-creds", path], {}, [seed]


ROWS = {
    "tls: CA file and client certificate": tls_row,
    "tls before the first line": lambda tmp: tls_row(tmp, first=True),
    "user and password from the environment": user_row,
    "a token from the environment": token_row,
    "an NKEY seed file": nkey_row,
    "a credentials file, operator mode": creds_row,
}


@pytest.mark.parametrize("row", list(ROWS))
def test_the_bridge_publishes_to_a_server_that_wants_tls_or_an_identity(tmp_path, row):
    config, scheme, args, env, secrets = ROWS[row](str(tmp_path))
    first = "--nats-tls-first" in args
    with (
        NatsServer(config=config, handshake_first=first) as srv,
        ServiceThread(rate=500) as svc,
    ):
        url = f"{scheme}://127.0.0.1:{srv.port}"
        cmd = [sys.executable, "-m", "quotra.bridge", "--url", svc.url, "--ca-file", svc.ca_file]
        cmd += ["--nats", url, "--instruments", "ABC,XYZ", *args]
        bridge = subprocess.Popen(
            cmd,
            cwd=ROOT,
            env=os.environ | env,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        try:
            svc.wait_subscribed(["ABC", "XYZ"], timeout=limit(10))
            wait(lambda: svc.quotes_sent > 300, 10, "quotes to the bridge")
            with open(f"/proc/{bridge.pid}/cmdline", "rb") as f:
                argv = f.read().decode()
            rc, _, out, counters = stop_bridge(bridge)
        finally:
            if bridge.poll() is None:
                bridge.kill()
    print(out)  # shown by pytest on failure
    assert rc == 0 and counters["published"] == counters["received"] > 0, counters
    assert counters["reconnections"] == 0 and "not reachable" not in out
    for secret in secrets:
        assert secret not in out and secret not in argv


def test_a_seed_file_that_holds_no_seed_stops_the_bridge_at_start_without_showing_it(tmp_path):
    path = tmp_path / "bridge.nk"
    path.write_text("SUxNOT-A-SEED-but-private\n")
    cmd = [sys.executable, "-m", "quotra.bridge", "--instruments", "ABC", "--nats-nkey", str(path)]
    done = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=limit(30))
    assert done.returncode == 2 and "not a valid NKEY seed" in done.stderr, done.stderr
    assert "private" not in done.stdout + done.stderr
