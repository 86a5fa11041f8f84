"""The NATS connection options the bridge, the recorder and quotes() share."""

import argparse
import random

import pytest

from quotra.bridge.options import NatsOptions, OptionsError, add_arguments, from_args


def parse(*argv: str) -> argparse.Namespace:
    p = argparse.ArgumentParser()
    add_arguments(p)
    return p.parse_args(argv)


@pytest.mark.parametrize(
    ("url", "env", "auth"),
    [
        ("nats://u:p@h:1", {"NATS_USER": "e", "NATS_PASSWORD": "f"}, {"user": "u", "pass": "p"}),
        ("nats://tok@h:1", {"NATS_TOKEN": "t"}, {"auth_token": "tok"}),
        ("nats://h:1", {"NATS_USER": "e", "NATS_PASSWORD": "f"}, {"user": "e", "pass": "f"}),
        ("nats://h:1", {"NATS_TOKEN": "t"}, {"auth_token": "t"}),
        ("nats://h:1", {}, {}),
    ],
)
def test_url_auth_prefers_the_url_then_the_environment(url, env, auth):
    assert NatsOptions.from_env(url, env).url_auth(url) == auth


def test_nats_py_kwargs_and_no_secret_shown(tmp_path):
    seed = tmp_path / "user.nk"
    seed.write_text("SUAEXAMPLE")
    opts = from_args(
        parse("--nats-nkey", str(seed), "--nats-no-shuffle"),
        "nats://a:1,nats://b:2",
        {"NATS_USER": "alice", "NATS_PASSWORD": "s3cret"},
    )
    kw = opts.nats_py_kwargs()
    assert kw == {
        "dont_randomize": True,
        "nkeys_seed": str(seed),
        "user": "alice",
        "password": "s3cret",
    }
    assert opts.ordered_servers() == ["nats://a:1", "nats://b:2"]
    for shown in (repr(opts), opts.describe()):
        assert "s3cret" not in shown and "alice" not in shown


@pytest.mark.parametrize(
    ("servers", "secret"),
    [
        ("nats://alice:s3cret@h:1", "s3cret"),
        ("nats://a:1,nats://alice:s3cret@b:2", "s3cret"),
        ("tls://t0ken@h:1", "t0ken"),
    ],
)
def test_no_url_secret_in_the_repr(servers, secret):
    """The options turn up in logs and tracebacks: a URL's password or token
    must not, whatever server of the list carries it."""
    opts = NatsOptions.from_env(servers, {})
    assert secret not in repr(opts) and secret not in opts.describe()
    assert "***@" in repr(opts)


def test_servers_shuffled_by_default():
    opts = NatsOptions.from_env([f"nats://h:{p}" for p in range(1, 9)], {})
    orders = {tuple(opts.ordered_servers(random.Random(i))) for i in range(5)}
    assert len(orders) > 1


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"servers": ("http://h:1",)}, "nats:// or tls://"),
        ({"cert_file": __file__}, "both --nats-cert-file and --nats-key-file"),
        ({"nkey_file": __file__, "creds_file": __file__}, "not both"),
        ({"ca_file": "/nonexistent/ca.pem"}, "no such file"),
    ],
)
def test_unusable_options_are_refused(kwargs, message):
    with pytest.raises(OptionsError, match=message):
        NatsOptions(**kwargs)


def test_tls_context_is_the_options_own(tmp_path):
    trustme = pytest.importorskip("trustme")
    ca = trustme.CA()
    ca_file = tmp_path / "ca.pem"
    ca.cert_pem.write_to_path(str(ca_file))
    assert NatsOptions.from_env("nats://h:1", {}).ssl_context() is None
    ctx = NatsOptions.from_env("tls://h:1", {}, ca_file=str(ca_file)).ssl_context()
    assert ctx is not None and ctx.get_ca_certs()
    assert (
        "tls_handshake_first"
        in NatsOptions.from_env(
            "tls://h:1", {}, ca_file=str(ca_file), tls_first=True
        ).nats_py_kwargs()
    )
