"""Fuzzing of the pickle entry points: ``__setstate_cython__`` of both classes,
the reconstructors ``__pyx_unpickle_Quotra`` / ``__pyx_unpickle_QuotraListner``
(checksums of every size and type, any class, any state) and the reduce of
whatever was stored.

States have every length from 0 to 16 and elements of every kind: the exact
types the typed fields want, their subclasses, transports, clients,
listeners, objects whose truth test raises, objects whose finaliser re-enters
set-state on the same object while it is being filled. An oracle written
from the pickle rules says which call must succeed and which exception a
failing one raises; after a success (or a failure) the fields must hold
exactly what the rules say. Nothing may crash.

CI runs a few hundred cases per entry point; QUOTRA_STRESS=1 runs 25,000.
"""

import gc
import pickle

import picows
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quotra.quotra as qm
from harness import STRESS, pickled_state, size
from quotra.quotra import Quotra, QuotraListner

pytestmark = pytest.mark.timeout(3600 if STRESS else 300)

EXAMPLES = size(300, 25_000)
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    derandomize=not STRESS,
    suppress_health_check=list(HealthCheck),
)

QUOTRA_CHECKSUMS = (0x16B1FB9, 0x691870A, 0xAA20E3E)
LISTENER_CHECKSUMS = (0xD66FD69, 0xC08DCA7, 0x629854F)


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class SetSub(set):
    pass


class TransportSub(picows.WSTransport):
    pass


class QSub(Quotra):
    pass


class LSub(QuotraListner):
    pass


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth value")


class Reenter:
    """Its finaliser fills the object it was stored in again, while that
    object's set-state is replacing it."""

    target = None

    def __del__(self):
        t = Reenter.target
        if t is not None:
            Reenter.target = None
            try:
                t.__setstate_cython__(None)
            except TypeError:
                pass
            try:
                n = 13 if isinstance(t, Quotra) else 3
                t.__setstate_cython__((None,) * n)
            except Exception:  # anything but a crash is fine here
                pass


def transport():
    return picows.WSTransport.__new__(picows.WSTransport)


def elements():
    return st.one_of(
        st.none(),
        st.booleans(),
        st.integers(-(2**70), 2**70),
        st.floats(),
        st.text(max_size=8),
        st.binary(max_size=8),
        st.sets(st.integers(0, 5), max_size=3),
        st.frozensets(st.integers(0, 3)),
        st.lists(st.integers(), max_size=3),
        st.dictionaries(st.text(max_size=3), st.integers(), max_size=3),
        st.tuples(st.integers()),
        st.builds(StrSub, st.text(max_size=4)),
        st.builds(BytesSub, st.binary(max_size=4)),
        st.builds(SetSub),
        st.builds(bytearray, st.binary(max_size=4)),
        st.just(0).map(lambda _: transport()),
        st.just(0).map(lambda _: TransportSub.__new__(TransportSub)),
        st.just(0).map(lambda _: Quotra.__new__(Quotra)),
        st.just(0).map(lambda _: QSub.__new__(QSub)),
        st.just(0).map(lambda _: QuotraListner.__new__(QuotraListner)),
        st.just(0).map(lambda _: BadBool()),
        st.just(0).map(lambda _: Reenter()),
        st.just(object),
        st.just(Quotra),
        st.just(print),
    )


def tp_name(t):
    """The C-level type name that the messages quote."""
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # a heap type, or a builtin
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def typed_fields(n):
    """Per index, how the element is checked (Quotra: 13 fields; listener: 3)."""
    if n == 13:
        return {
            2: ("exact", set, "set"),
            3: ("instance", picows.WSTransport, "picows.picows.WSTransport"),
            6: ("exact", bytes, "bytes"),
            7: ("truth",),
            12: ("exact", str, "unicode"),
        }
    return {1: ("exact", bytes, "bytes"), 2: ("instance", Quotra, "quotra.quotra.Quotra")}


def expected_set_state(obj_has_dict, state, n):
    """None on success, else (exception type, message or None)."""
    if state is None:
        return (TypeError, "'NoneType' object is not subscriptable")
    rules = typed_fields(n)
    for i in range(n):
        if i >= len(state):
            return (IndexError, "tuple index out of range")
        v = state[i]
        rule = rules.get(i)
        if rule is None:
            continue
        if rule[0] == "exact" and v is not None and type(v) is not rule[1]:
            return (TypeError, f"Expected {rule[2]}, got {tp_name(type(v))}")
        if rule[0] == "instance" and v is not None and not isinstance(v, rule[1]):
            return (TypeError, f"Cannot convert {tp_name(type(v))} to {rule[2]}")
        if rule[0] == "truth" and v is not True and v is not False and v is not None:
            try:
                bool(v)
            except Exception as e:
                return (type(e), None)
    if len(state) > n and obj_has_dict:
        try:
            {}.update(state[n])
        except Exception as e:
            return (type(e), None)
    return None


def fields_of(obj):
    return pickled_state(obj)[: 13 if isinstance(obj, Quotra) else 3]


def check_fields_after(obj, state, n, failed_at):
    """Fields 0..k-1 hold the state's elements, where k is the failing index
    (or n); a field past it keeps its old value."""
    got = fields_of(obj)
    upto = n if failed_at is None else min(failed_at, n, len(state))
    for i in range(upto):
        if n == 13 and i == 7:
            assert got[i] is (
                state[i] is not None and bool(state[i])
                if state[i] not in (True, False)
                else state[i]
            )
        else:
            assert got[i] is state[i], (i, got[i], state[i])


def failing_index(state, n):
    rules = typed_fields(n)
    for i in range(n):
        if i >= len(state):
            return i
        v, rule = state[i], rules.get(i)
        if rule and rule[0] == "exact" and v is not None and type(v) is not rule[1]:
            return i
        if rule and rule[0] == "instance" and v is not None and not isinstance(v, rule[1]):
            return i
        if rule and rule[0] == "truth" and v not in (True, False, None):
            try:
                bool(v)
            except Exception:
                return i
    return None


def run_set_state(obj, state, n, call):
    reentrant = any(isinstance(v, Reenter) for v in state) if isinstance(state, tuple) else False
    if reentrant:
        Reenter.target = obj
    expected = (
        expected_set_state(hasattr(obj, "__dict__"), state, n)
        if state is None or type(state) is tuple
        else (TypeError, f"Expected tuple, got {tp_name(type(state))}")
    )
    try:
        call(obj, state)
    except Exception as e:
        assert expected is not None, f"unexpected {e!r}"
        assert type(e) is expected[0] and (expected[1] is None or str(e) == expected[1]), (
            e,
            expected,
        )
    else:
        assert expected is None, f"expected {expected}"
    finally:
        Reenter.target = None
    if not reentrant and type(state) is tuple:
        check_fields_after(obj, state, n, failing_index(state, n))
    # Whatever the fields hold now reduces, and pickles when they can.
    reduced = obj.__reduce_cython__()
    assert reduced[0] in (qm.__pyx_unpickle_Quotra, qm.__pyx_unpickle_QuotraListner)
    try:
        clone = pickle.loads(pickle.dumps(obj))
    except (pickle.PicklingError, TypeError, AttributeError, RecursionError):
        pass
    else:
        assert type(clone) is type(obj)


def states(max_len=16):
    return st.one_of(
        st.lists(elements(), max_size=max_len).map(tuple),
        st.lists(elements(), min_size=13, max_size=15).map(tuple),
        st.lists(elements(), min_size=3, max_size=5).map(tuple),
        st.none(),
        st.lists(elements(), max_size=4),
        st.dictionaries(st.integers(0, 3), elements(), max_size=2),
        elements(),
    )


@SETTINGS
@given(cls=st.sampled_from([Quotra, QSub]), state=states())
def test_quotra_setstate(cls, state):
    obj = cls.__new__(cls)
    run_set_state(obj, state, 13, lambda o, s: o.__setstate_cython__(s))


@SETTINGS
@given(cls=st.sampled_from([QuotraListner, LSub]), state=states())
def test_listener_setstate(cls, state):
    obj = cls.__new__(cls)
    run_set_state(obj, state, 3, lambda o, s: o.__setstate_cython__(s))


@SETTINGS
@given(self_obj=elements(), state=states(), which=st.sampled_from([Quotra, QuotraListner]))
def test_setstate_and_reduce_through_the_class_with_any_self(self_obj, state, which):
    """The methods taken from the class dictionary refuse a self of another class."""
    setstate = which.__dict__["__setstate_cython__"]
    reduce = which.__dict__["__reduce_cython__"]
    if isinstance(self_obj, which):
        return
    with pytest.raises(TypeError):
        setstate(self_obj, state)
    with pytest.raises(TypeError):
        reduce(self_obj)


checksums = st.one_of(
    st.sampled_from(QUOTRA_CHECKSUMS + LISTENER_CHECKSUMS),
    st.integers(-(2**40), 2**40),
    st.integers(-(2**31), 2**31 - 1),
    st.just(True),
    st.floats(),
    st.text(max_size=3),
    st.none(),
)
types = (
    st.sampled_from(
        [Quotra, QSub, QuotraListner, LSub, int, object, picows.WSListener, type, BadBool]
    )
    | elements()
)


@SETTINGS
@given(
    fn=st.sampled_from(["Quotra", "QuotraListner"]), cls=types, checksum=checksums, state=states()
)
def test_reconstructors(fn, cls, checksum, state):
    """Checksum first (an int within 32 bits, one of the class's three), then
    the class, then the state: each failure raises, never crashes."""
    target = Quotra if fn == "Quotra" else QuotraListner
    accepted = QUOTRA_CHECKSUMS if fn == "Quotra" else LISTENER_CHECKSUMS
    unpickle = getattr(qm, f"__pyx_unpickle_{fn}")
    n = 13 if fn == "Quotra" else 3
    reentrant = isinstance(state, tuple) and any(isinstance(v, Reenter) for v in state)
    try:
        obj = unpickle(cls, checksum, state)
    except Exception as e:
        if not isinstance(checksum, int):
            assert type(e) is TypeError
        elif not -(2**31) <= checksum < 2**31:
            assert type(e) is OverflowError
        elif checksum not in accepted:
            assert type(e) is pickle.PickleError and str(e).startswith(
                "Incompatible checksums (0x%x vs (" % checksum
            )
        elif not (isinstance(cls, type) and issubclass(cls, target)):
            assert type(e) is TypeError
        elif state is not None and type(state) is not tuple:
            assert type(e) is TypeError and str(e) == f"Expected tuple, got {tp_name(type(state))}"
        elif not reentrant:
            probe = cls.__new__(cls)
            expected = expected_set_state(hasattr(probe, "__dict__"), state, n)
            assert expected is not None and type(e) is expected[0], (e, expected)
    else:
        assert isinstance(checksum, int) and checksum in accepted
        assert isinstance(cls, type) and issubclass(cls, target) and type(obj) is cls
        if state is None:
            assert all(f is None for i, f in enumerate(fields_of(obj)) if not (n == 13 and i == 7))
        elif not reentrant:
            check_fields_after(obj, state, n, None)


def test_objects_left_by_the_fuzzers_are_collected():
    """After the fuzzing, nothing of ours is left behind."""
    gc.collect()
    leftovers = [o for o in gc.get_objects() if type(o) in (Quotra, QSub, QuotraListner, LSub)]
    assert len(leftovers) < 5, leftovers[:5]
