import asyncio
import gc
import signal
import subprocess
import sys
import weakref

import pytest

import quotra.quotra as qm
from conftest import ROOT, SignalLoop
from harness import client_field
from quotra.quotra import Quotra, QuotraListner


def test_module_attribute_values():
    # Their names and order: tests/test_stubs.py.
    import functools
    import logging

    import picows

    assert qm.ws_connect is picows.ws_connect and qm.WSError is picows.WSError
    assert qm.wraps is functools.wraps
    assert qm.logger is logging.getLogger("quotra.quotra")
    assert qm.__test__ == {}
    assert qm.__name__ == "quotra.quotra"
    doc = qm.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    fields = doc.strip("\n").split("\n")
    assert [f.split(":")[1] for f in fields] == ["description", "author", "created"]
    assert all(f.startswith("    :") for f in fields)


def test_reimport_returns_the_same_module():
    import importlib

    again = importlib.import_module("quotra.quotra")
    assert again is qm
    del sys.modules["quotra.quotra"]
    try:
        fresh = importlib.import_module("quotra.quotra")
        assert fresh is qm
    finally:
        sys.modules["quotra.quotra"] = qm


def test_second_interpreter_is_refused(tmp_path):
    out = tmp_path / "out.txt"
    sub = "\n".join(
        [
            "import sys",
            f"sys.path.insert(0, {str(ROOT)!r})",
            "try:",
            "    import quotra.quotra",
            "    result = 'imported'",
            "except ImportError as e:",
            "    result = str(e)",
            f"open({str(out)!r}, 'w').write(result)",
        ]
    )
    code = "\n".join(
        [
            "import sys, _testcapi",
            f"sys.path.insert(0, {str(ROOT)!r})",
            "import quotra.quotra",
            f"_testcapi.run_in_subinterp({sub!r})",
        ]
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
    assert out.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_import_after_a_failed_import_makes_the_same_classes():
    code = "\n".join(
        [
            "import sys",
            f"sys.path.insert(0, {str(ROOT)!r})",
            "sys.modules['quotra.pricetape_proto'] = None  # fails the first import half-way",
            "try:",
            "    import quotra.quotra",
            "    raise SystemExit('the first import did not fail')",
            "except ImportError:",
            "    del sys.modules['quotra.pricetape_proto']",
            "import quotra.quotra as qm",
            "print(sorted(qm.Quotra.__dict__), sorted(qm.QuotraListner.__dict__))",
        ]
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"{sorted(Quotra.__dict__)} {sorted(QuotraListner.__dict__)}"


def test_picows_releases_other_than_the_supported_ones_are_refused():
    """Only releases known to share the layouts pass, whatever their sizes say:
    each refusal is an ImportError naming the installed and the supported
    releases, and the import can then succeed once a supported one is there."""
    code = "\n".join(
        [
            "import sys, picows",
            f"sys.path.insert(0, {str(ROOT)!r})",
            "real = picows.__version__",
            "for fake in ('2.1.2', '2.4.0', '2.3.1 ', 231, None):",
            "    picows.__version__ = fake",
            "    try:",
            "        import quotra.quotra",
            "        raise SystemExit(f'picows {fake!r} was accepted')",
            "    except ImportError as e:",
            "        print(e)",
            "del picows.__version__",
            "try:",
            "    import quotra.quotra",
            "    raise SystemExit('picows without __version__ was accepted')",
            "except ImportError as e:",
            "    print(e)",
            "picows.__version__ = '2.1.3'",  # the same layouts as the real one
            "import quotra.quotra",
            "print('imported')",
        ]
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[-1] == "imported"
    shown = ["2.1.2", "2.4.0", "2.3.1 ", "231", "None", "(no __version__)"]
    assert len(lines) == len(shown) + 1
    for line, version in zip(lines, shown):
        assert line == (
            f"quotra.quotra cannot use the installed picows {version}: it supports picows 2.1.3, 2.2.0, "
            "2.3.0, 2.3.1, whose object layouts and native method tables it was built against. "
            "Install one of them, e.g. pip install picows==2.3.1."
        )


def test_native_tables_are_published():
    import picows.picows as pp

    for cls in (Quotra, QuotraListner):
        cap = cls.__dict__["__pyx_vtable__"]
        assert type(cap).__name__ == "PyCapsule"
    assert QuotraListner.__dict__["__pyx_vtable__"] is not pp.WSListener.__dict__["__pyx_vtable__"]
    assert QuotraListner.__base__ is pp.WSListener
    assert QuotraListner.__weakrefoffset__ == pp.WSListener.__weakrefoffset__ != 0


def test_fresh_client_fields():
    lp = SignalLoop()
    q = Quotra(lp)
    assert isinstance(q.IS_CONNECTED, asyncio.Event) and not q.IS_CONNECTED.is_set()
    state = q.__reduce_cython__()[2]
    (
        connected,
        loop_,
        tokens,
        transport,
        msg,
        close_cb,
        disc_msg,
        disc,
        err_cb,
        msg_cb,
        open_cb,
        stop_event,
        url,
    ) = state
    assert connected is q.IS_CONNECTED and loop_ is lp
    assert tokens == set() and transport is None and isinstance(msg, qm.pricetape)
    assert (close_cb, err_cb, msg_cb, open_cb) == (None, None, None, None)
    assert disc_msg == b"Connection closed by the user." and disc is False
    assert isinstance(stop_event, asyncio.Event) and stop_event is not connected
    assert url.startswith("wss://") and url.endswith("/?version=2")
    assert sorted(lp.handlers) == sorted([signal.SIGINT, signal.SIGTERM])
    cb_int, cb_term = lp.handlers[signal.SIGINT], lp.handlers[signal.SIGTERM]
    assert cb_int is not cb_term
    assert cb_int.__qualname__ == "Quotra.add_signal_handler.<locals>.<lambda>"

    other = Quotra(lp)
    s2 = other.__reduce_cython__()[2]
    for i in (0, 2, 4, 11):
        assert s2[i] is not state[i]


def test_is_connected_attribute_and_private_fields():
    q = Quotra(SignalLoop())
    q.IS_CONNECTED = 5
    assert q.IS_CONNECTED == 5
    del q.IS_CONNECTED
    assert q.IS_CONNECTED is None
    with pytest.raises(AttributeError):
        q.other = 1
    for name in ["_ws_url", "_message_callback", "_stop_event", "_Quotra__loop", "__loop"]:
        with pytest.raises(AttributeError):
            getattr(q, name)
    assert Quotra.__new__(Quotra).IS_CONNECTED is None
    assert Quotra.__new__(Quotra, 1, 2, x=3).IS_CONNECTED is None


def test_constructor_arguments():
    lp = SignalLoop()
    with pytest.raises(
        TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(0 given\)$"
    ):
        Quotra()
    with pytest.raises(
        TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"
    ):
        Quotra(lp, 1)
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'lop'$"):
        Quotra(lop=lp)
    with pytest.raises(
        TypeError, match=r"^__init__\(\) got multiple values for keyword argument 'loop'$"
    ):
        Quotra(lp, loop=lp)
    assert client_field(Quotra(loop=lp), "loop") is lp


def test_reinitialisation_replaces_state_but_keeps_transport():
    lp = SignalLoop()
    q = Quotra(lp)
    before = q.__reduce_cython__()[2]
    q.__init__(lp)
    after = q.__reduce_cython__()[2]
    assert after[0] is not before[0] and after[2] is not before[2] and after[4] is not before[4]
    assert after[3] is before[3] is None


def test_failing_signal_installation_fails_construction():
    class NoSignals:
        def add_signal_handler(self, *a):
            raise NotImplementedError("no signals here")

    with pytest.raises(NotImplementedError, match="no signals here"):
        Quotra(NoSignals())


def test_client_in_a_reference_cycle_is_collected():
    class Loop(SignalLoop):
        pass

    lp = Loop()
    q = Quotra(lp)  # lp -> handler -> q -> lp
    probe = weakref.ref(lp)

    async def cb(msg):
        return q  # noqa: F821 (callbacks refer back to the client; never called)

    state = list(q.__reduce_cython__()[2])
    state[8:11] = [cb, cb, cb]  # error, message and open callbacks
    q.__setstate_cython__(tuple(state))
    del q, lp, cb, state
    gc.collect()
    assert probe() is None
