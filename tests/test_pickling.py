"""Pickle protocol of Quotra and QuotraListner.

Private fields are not attributes, so the tests read an object's fields back
through its own reduce: the state tuple is the only window onto them.
"""

import asyncio
import copy
import hashlib
import pickle
import random
import re
import sys

import picows
import pytest

from harness import LISTENER_FIELDS, QUOTRA_FIELDS, pickled_state
from quotra import quotra as qm
from quotra.quotra import Quotra, QuotraListner


def checksums(fields):
    data = " ".join(fields).encode("utf-8")
    return tuple(
        int(hashlib.new(algo, data).hexdigest()[:7], 16) for algo in ("sha256", "sha1", "md5")
    )


Q_SUMS = checksums(QUOTRA_FIELDS)
L_SUMS = checksums(LISTENER_FIELDS)
FRESH_Q = (None,) * 7 + (False,) + (None,) * 5
FRESH_L = (None, None, None)


def incompatible(value, sums, fields):
    return f"Incompatible checksums (0x{value:x} vs ({', '.join(map(hex, sums))}) = ({', '.join(fields)}))"


def new_q(cls=Quotra):
    return Quotra.__new__(cls)


def new_l(cls=QuotraListner):
    return QuotraListner.__new__(cls)


class SetSub(set):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class TransportSub(picows.WSTransport):
    pass


class QSub(Quotra):
    pass


class QSlots(Quotra):
    __slots__ = ()


class LSub(QuotraListner):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def a_transport(cls=picows.WSTransport):
    # picows' own constructor wants a live connection; allocation alone is
    # enough for an isinstance check.
    return picows.WSTransport.__new__(cls)


# A value of the right kind for each Quotra state index.
Q_GOOD = [
    1,
    "loop",
    {"A"},
    a_transport(),
    "tape",
    "cc",
    b"bye",
    True,
    "ec",
    "mc",
    "oc",
    "ev",
    "wss://h/",
]


def test_checksums_are_derived_from_the_field_list():
    assert Q_SUMS == (0x16B1FB9, 0x691870A, 0xAA20E3E)
    assert L_SUMS == (0xD66FD69, 0xC08DCA7, 0x629854F)
    assert new_q().__reduce_cython__()[1][1] == Q_SUMS[0]
    assert new_l().__reduce_cython__()[1][1] == L_SUMS[0]


def test_pickling_is_installed_under_both_names():
    for cls in (Quotra, QuotraListner):
        assert cls.__dict__["__reduce__"] is cls.__dict__["__reduce_cython__"]
        assert cls.__dict__["__setstate__"] is cls.__dict__["__setstate_cython__"]
    assert callable(qm.__pyx_unpickle_Quotra) and callable(qm.__pyx_unpickle_QuotraListner)


def test_fresh_objects_reduce_to_the_two_tuple_form():
    assert new_q().__reduce_cython__() == (qm.__pyx_unpickle_Quotra, (Quotra, Q_SUMS[0], FRESH_Q))
    assert new_l().__reduce_cython__() == (
        qm.__pyx_unpickle_QuotraListner,
        (QuotraListner, L_SUMS[0], FRESH_L),
    )
    # the native boolean alone does not call for __setstate__
    q = new_q()
    q.__setstate_cython__(FRESH_Q[:7] + (True,) + FRESH_Q[8:])
    r = q.__reduce_cython__()
    assert len(r) == 2 and r[1][2][7] is True


@pytest.mark.parametrize("index", [i for i in range(13) if i != 7])
def test_any_object_field_selects_the_setstate_form(index):
    q = new_q()
    state = FRESH_Q[:index] + (Q_GOOD[index],) + FRESH_Q[index + 1 :]
    q.__setstate_cython__(state)
    reconstructor, args, got = q.__reduce_cython__()
    assert reconstructor is qm.__pyx_unpickle_Quotra
    assert args == (Quotra, Q_SUMS[0], None)
    assert got == state and got[index] is state[index]


@pytest.mark.parametrize("index", range(3))
def test_any_listener_field_selects_the_setstate_form(index):
    good = ["loop", b"", new_q()]
    state = FRESH_L[:index] + (good[index],) + FRESH_L[index + 1 :]
    lst = new_l()
    lst.__setstate_cython__(state)
    assert lst.__reduce_cython__() == (
        qm.__pyx_unpickle_QuotraListner,
        (QuotraListner, L_SUMS[0], None),
        state,
    )


@pytest.fixture
def module_order():
    """The module's names back in their order after a test that deletes one
    (monkeypatch puts a deleted name back at the end)."""
    order = list(vars(qm))
    yield
    names = vars(qm)
    for name in order:
        if name in names:
            names[name] = names.pop(name)


def test_reduce_fetches_the_reconstructor_at_each_call(module_order, monkeypatch):
    monkeypatch.setattr(qm, "__pyx_unpickle_Quotra", "stand-in")
    assert new_q().__reduce_cython__()[0] == "stand-in"
    monkeypatch.delattr(qm, "__pyx_unpickle_QuotraListner")
    with pytest.raises(NameError, match="__pyx_unpickle_QuotraListner"):
        new_l().__reduce_cython__()


@pytest.mark.parametrize(
    "fn, cls, sums, fields",
    [
        ("__pyx_unpickle_Quotra", Quotra, Q_SUMS, QUOTRA_FIELDS),
        ("__pyx_unpickle_QuotraListner", QuotraListner, L_SUMS, LISTENER_FIELDS),
    ],
)
def test_reconstructor_checksums(fn, cls, sums, fields, monkeypatch):
    reconstruct = getattr(qm, fn)
    fresh = FRESH_Q if cls is Quotra else FRESH_L
    for value in sums:
        obj = reconstruct(cls, value, None)
        assert type(obj) is cls and pickled_state(obj) == fresh
    for value in (0, 0xABCDEF, -5, sums[0] + 1):
        with pytest.raises(pickle.PickleError) as info:
            reconstruct(cls, value, None)
        assert str(info.value) == incompatible(value, sums, fields)
        if value == 0xABCDEF:
            assert str(info.value).startswith("Incompatible checksums (0xabcdef vs (")
    for bad, exc in (
        ("1", TypeError),
        (1.0, TypeError),
        (None, TypeError),
        (2**31, OverflowError),
        (-(2**31) - 1, OverflowError),
    ):
        with pytest.raises(exc):
            reconstruct(cls, bad, None)

    class Stale(Exception):
        pass

    # PickleError is imported when needed, not cached at module load
    monkeypatch.setattr(pickle, "PickleError", Stale)
    with pytest.raises(Stale):
        reconstruct(cls, 1, None)
    monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(ImportError, match="PickleError"):
        reconstruct(cls, 1, None)


def test_reconstructor_arguments():
    q = qm.__pyx_unpickle_Quotra(__pyx_state=FRESH_Q, __pyx_checksum=Q_SUMS[2], __pyx_type=QSub)
    assert type(q) is QSub
    for wrong in (int, QuotraListner, "Quotra"):
        with pytest.raises(TypeError):
            qm.__pyx_unpickle_Quotra(wrong, Q_SUMS[0], None)
    with pytest.raises(TypeError):
        qm.__pyx_unpickle_QuotraListner(Quotra, L_SUMS[0], None)
    for state in ([None] * 13, StrSub("x"), type("T", (tuple,), {})(FRESH_Q)):
        with pytest.raises(TypeError, match="Expected tuple, got"):
            qm.__pyx_unpickle_Quotra(Quotra, Q_SUMS[0], state)
    with pytest.raises(TypeError):
        qm.__pyx_unpickle_Quotra(Quotra, Q_SUMS[0])


def test_setstate_argument_checks():
    q = new_q()
    with pytest.raises(TypeError, match="Expected tuple, got list"):
        q.__setstate_cython__(list(Q_GOOD))
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        q.__setstate_cython__(None)
    assert pickled_state(q) == FRESH_Q
    q.__setstate_cython__(__pyx_state=tuple(Q_GOOD))
    assert pickled_state(q) == tuple(Q_GOOD)
    # the methods live in class dictionaries and can be called unbound with anything
    for call in (
        lambda: Quotra.__reduce_cython__(new_l()),
        lambda: QuotraListner.__reduce_cython__(new_q()),
        lambda: Quotra.__setstate_cython__(5, FRESH_Q),
        lambda: QuotraListner.__setstate_cython__(new_q(), FRESH_L),
        lambda: q.__reduce_cython__(1),
        lambda: q.__setstate_cython__(),
    ):
        with pytest.raises(TypeError):
            call()


def test_short_state_assigns_what_it_has_then_fails():
    q = new_q()
    q.__setstate_cython__(FRESH_Q[:12] + ("old",))
    with pytest.raises(IndexError):
        q.__setstate_cython__(tuple(Q_GOOD[:12]))
    assert pickled_state(q) == tuple(Q_GOOD[:12]) + ("old",)


TYPED = [
    (2, SetSub({"A"}), "Expected set, got SetSub"),
    (2, frozenset(), "Expected set, got frozenset"),
    (2, ["A"], "Expected set, got list"),
    (3, object(), "Cannot convert object to picows.picows.WSTransport"),
    (3, new_q(), "Cannot convert quotra.quotra.Quotra to picows.picows.WSTransport"),
    (6, BytesSub(b"x"), "Expected bytes, got BytesSub"),
    (6, bytearray(b"x"), "Expected bytes, got bytearray"),
    (6, "text", "Expected bytes, got str"),
    (12, StrSub("wss://h/"), "Expected unicode, got StrSub"),
    (12, b"wss://h/", "Expected unicode, got bytes"),
]


@pytest.mark.parametrize("index, value, message", TYPED)
def test_typed_fields_refuse_and_keep_earlier_assignments(index, value, message):
    q = new_q()
    before = ("x", "x", None, None, "x", "x", None, False, "x", "x", "x", "x", "old")
    q.__setstate_cython__(before)
    state = tuple(Q_GOOD[:index]) + (value,) + tuple(Q_GOOD[index + 1 :])
    with pytest.raises(TypeError, match=re.escape(message)):
        q.__setstate_cython__(state)
    assert pickled_state(q) == tuple(Q_GOOD[:index]) + before[index:]


def test_typed_fields_accept_exact_types_subclassed_transport_and_none():
    q = new_q()
    t = a_transport(TransportSub)
    q.__setstate_cython__((None, None, set(), t, None, None, b"", 0, None, None, None, None, ""))
    got = pickled_state(q)
    assert got[3] is t and got[2] == set() and got[6] == b"" and got[12] == ""
    lst = new_l()
    parent = new_q(QSub)
    lst.__setstate_cython__(("loop", b"ping", parent))
    assert pickled_state(lst)[2] is parent
    for index, value, message in [
        (1, BytesSub(), "Expected bytes, got BytesSub"),
        (2, new_l(), "Cannot convert quotra.quotra.QuotraListner to quotra.quotra.Quotra"),
    ]:
        with pytest.raises(TypeError, match=re.escape(message)):
            lst.__setstate_cython__(
                ("new loop",) + (b"", None)[: index - 1] + (value,) + (None,) * (2 - index)
            )
        assert pickled_state(lst)[0] == "new loop"


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, True),
        (False, False),
        (None, False),
        (0, False),
        ("", False),
        ([], False),
        (1, True),
        ("no", True),
        ([0], True),
        (object(), True),
    ],
)
def test_disconnect_socket_is_stored_as_a_truth_value(value, expected):
    q = new_q()
    q.__setstate_cython__(FRESH_Q[:7] + (value,) + FRESH_Q[8:])
    assert pickled_state(q)[7] is expected


def test_disconnect_socket_truth_error_propagates():
    q = new_q()
    with pytest.raises(ZeroDivisionError):
        q.__setstate_cython__(tuple(Q_GOOD[:7]) + (BadBool(),) + tuple(Q_GOOD[8:]))
    assert pickled_state(q) == tuple(Q_GOOD[:7]) + (False,) + FRESH_Q[8:]


def message_cb(x):
    return x


def test_pickle_round_trip_of_every_protocol():
    state = (
        ["connected"],
        "loop",
        {"AAPL", "MSFT"},
        None,
        {"tape": 1},
        message_cb,
        b"bye",
        True,
        message_cb,
        message_cb,
        None,
        ("stop",),
        "wss://127.0.0.1:9/?version=2",
    )
    q = new_q()
    q.__setstate_cython__(state)
    plain = new_q()
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(q, proto))
        assert type(back) is Quotra and back is not q
        assert pickled_state(back) == state
        assert pickled_state(back)[2] is not state[2]
        assert pickled_state(pickle.loads(pickle.dumps(plain, proto))) == FRESH_Q
    assert pickled_state(copy.deepcopy(q)) == state
    lst = new_l()
    lst.__setstate_cython__(("loop", b"", q))
    back = pickle.loads(pickle.dumps(lst))
    assert type(back) is QuotraListner and pickled_state(back)[:2] == ("loop", b"")
    assert pickled_state(pickled_state(back)[2]) == state


def test_constructed_client_pickles_once_its_loop_is_swapped_out():
    loop = asyncio.new_event_loop()
    try:
        q = Quotra(loop)
        r = q.__reduce_cython__()
        assert r[1] == (Quotra, Q_SUMS[0], None) and r[2][1] is loop
        # how tests point a client at a local server: reduce, replace, restore
        q.__setstate_cython__(r[2][:1] + (None,) + r[2][2:12] + ("wss://127.0.0.1:1/",))
        back = pickle.loads(pickle.dumps(q))
        got = pickled_state(back)
        assert (
            got[12] == "wss://127.0.0.1:1/"
            and got[2] == set()
            and got[6] == b"Connection closed by the user."
        )
        assert (
            isinstance(back.IS_CONNECTED, asyncio.Event) and back.IS_CONNECTED is not q.IS_CONNECTED
        )
    finally:
        loop.close()


def test_subclass_instance_dict_travels_with_the_state():
    s = new_q(QSub)
    s.note = "kept"
    r = s.__reduce_cython__()
    assert r[1] == (QSub, Q_SUMS[0], None) and r[2] == FRESH_Q + ({"note": "kept"},)
    back = pickle.loads(pickle.dumps(s))
    assert type(back) is QSub and back.note == "kept"
    s.__setstate_cython__(tuple(Q_GOOD) + ({"more": 1}, {"ignored": 2}))
    assert s.__dict__ == {"note": "kept", "more": 1}
    with pytest.raises((TypeError, ValueError)):
        s.__setstate_cython__(tuple(Q_GOOD) + (5,))
    # no __dict__ to merge into: the extra element is ignored
    for obj in (new_q(), new_q(QSlots)):
        obj.__setstate_cython__(tuple(Q_GOOD) + ({"x": 1},))
        assert pickled_state(obj) == tuple(Q_GOOD)
    assert len(new_q(QSlots).__reduce_cython__()) == 2
    ls = new_l(LSub)
    ls.tag = 3
    back = pickle.loads(pickle.dumps(ls))
    assert type(back) is LSub and back.tag == 3 and pickled_state(back) == FRESH_L + ({"tag": 3},)


POOL = [
    None,
    True,
    0,
    1,
    "s",
    StrSub("s"),
    b"b",
    BytesSub(b"b"),
    bytearray(),
    set(),
    SetSub(),
    frozenset(),
    [],
    (),
    {},
    object(),
    1.5,
    a_transport(),
    a_transport(TransportSub),
    BadBool(),
]
ERRORS = (TypeError, IndexError, ZeroDivisionError, ValueError, pickle.PickleError)


def assert_typed_fields_hold(obj):
    got = pickled_state(obj)
    if isinstance(obj, Quotra):
        assert len(got) in (13, 14) and type(got[7]) is bool
        assert got[2] is None or type(got[2]) is set
        assert got[3] is None or isinstance(got[3], picows.WSTransport)
        assert got[6] is None or type(got[6]) is bytes
        assert got[12] is None or type(got[12]) is str
    else:
        assert len(got) in (3, 4)
        assert got[1] is None or type(got[1]) is bytes
        assert got[2] is None or isinstance(got[2], Quotra)


def test_malformed_states_raise_and_never_break_the_fields():
    rng = random.Random(1234)
    pool = POOL + [new_q(), new_q(QSub), new_l()]
    for n in range(16):
        for _ in range(60):
            state = tuple(rng.choice(pool) for _ in range(n))
            for obj in (new_q(), new_q(QSub), new_l(), new_l(LSub)):
                try:
                    obj.__setstate_cython__(state)
                except ERRORS:
                    pass
                assert_typed_fields_hold(obj)
            for reconstruct, cls, checksum in (
                (qm.__pyx_unpickle_Quotra, Quotra, Q_SUMS[1]),
                (qm.__pyx_unpickle_QuotraListner, LSub, L_SUMS[2]),
            ):
                try:
                    assert_typed_fields_hold(reconstruct(cls, checksum, state))
                except ERRORS:
                    pass


def test_reference_counts_are_exact():
    value = object()
    base = sys.getrefcount(value)
    q, lst = new_q(), new_l()
    # eight untyped fields hold it; index 7 only lends its truth value
    state = (value, value, None, None, value, value, None, value, value, value, value, value, "u")
    for _ in range(200):
        q.__setstate_cython__(state)
        q.__reduce_cython__()
        lst.__setstate_cython__((value, b"", None))
        lst.__reduce_cython__()
        with pytest.raises(TypeError):
            q.__setstate_cython__((value, value, value))  # fails at index 2 after two stores
        with pytest.raises(pickle.PickleError):
            qm.__pyx_unpickle_Quotra(Quotra, 7, (value,))
        qm.__pyx_unpickle_QuotraListner(QuotraListner, L_SUMS[0], (value, None, None))
    del state
    assert sys.getrefcount(value) == base + 9
    q.__setstate_cython__(FRESH_Q)
    lst.__setstate_cython__(FRESH_L)
    assert sys.getrefcount(value) == base
    sub = new_q(QSub)
    sub.x = 1
    instance_dict = sub.__dict__
    base = sys.getrefcount(instance_dict)
    for _ in range(200):
        sub.__reduce_cython__()
        sub.__setstate_cython__(FRESH_Q + ({"x": 2},))
    assert sys.getrefcount(instance_dict) == base


def test_finaliser_of_a_replaced_value_may_reenter():
    q = new_q()

    class Reenter:
        def __del__(self):
            q.__setstate_cython__(("inner",) + FRESH_Q[1:])
            q.__reduce_cython__()

    q.__setstate_cython__((Reenter(),) + FRESH_Q[1:])
    # storing "outer" releases Reenter, whose finaliser rewrites every field;
    # the outer assignment then carries on from index 1
    q.__setstate_cython__(("outer", "loop") + FRESH_Q[2:])
    assert pickled_state(q) == ("inner", "loop") + FRESH_Q[2:]
