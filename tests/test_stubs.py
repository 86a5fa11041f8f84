"""quotra/quotra.pyi against the built module: the same names (the module's
pinned in creation order, a contract), the same parameters (names, kinds,
defaults) as inspect.signature() reports, coroutine functions where the module
has them; and the stubs ship with the package."""

import ast
import asyncio
import fnmatch
import inspect
import tomllib
from pathlib import Path

import pytest

import quotra.quotra as qmod

PKG = Path(qmod.__file__).resolve().parent
ROOT = PKG.parent
STUB = ast.parse((PKG / "quotra.pyi").read_text(), "quotra.pyi")

# Class-dictionary entries that are not methods with a signature of their own.
NOT_METHODS = {
    "__new__",
    "__init__",
    "__doc__",
    "__pyx_vtable__",
    "__module__",
    "__dict__",
    "__weakref__",
}

KINDS = {
    "posonly": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "vararg": inspect.Parameter.VAR_POSITIONAL,
    "kwonly": inspect.Parameter.KEYWORD_ONLY,
    "kwarg": inspect.Parameter.VAR_KEYWORD,
}


def stub_params(fn: ast.FunctionDef | ast.AsyncFunctionDef, drop_self: bool):
    """(name, kind, default) for each parameter of a stub function."""
    a = fn.args
    out = []
    positional = [(p, "posonly") for p in a.posonlyargs] + [(p, "args") for p in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for (p, kind), d in zip(positional, defaults):
        out.append(
            (p.arg, KINDS[kind], inspect.Parameter.empty if d is None else ast.literal_eval(d))
        )
    if a.vararg:
        out.append((a.vararg.arg, KINDS["vararg"], inspect.Parameter.empty))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append(
            (p.arg, KINDS["kwonly"], inspect.Parameter.empty if d is None else ast.literal_eval(d))
        )
    if a.kwarg:
        out.append((a.kwarg.arg, KINDS["kwarg"], inspect.Parameter.empty))
    return out[1:] if drop_self else out


def runtime_params(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def is_staticmethod(fn) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)


def stub_defs(body):
    return {
        n.name: n
        for n in body
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))
    }


def stub_module_names():
    names = set()
    for n in STUB.body:
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(n.name)
        elif isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name):
            names.add(n.target.id)
        elif isinstance(n, (ast.Import, ast.ImportFrom)):
            # Only explicit re-exports (`import x as x`) are the module's names.
            names.update(
                a.asname for a in n.names if a.asname and a.asname == a.name.split(".")[-1]
            )
    return {n for n in names if not n.startswith("_") or n.startswith("__")}


def test_module_names_in_creation_order_match():
    interpreter_own = {
        "__name__",
        "__doc__",
        "__spec__",
        "__loader__",
        "__file__",
        "__package__",
        "__builtins__",
    }
    runtime = [n for n in vars(qmod) if n not in interpreter_own]
    assert runtime == [
        "Quotra",
        "QuotraListner",
        "__author__",
        "ssl",
        "socket",
        "signal",
        "orjson",
        "base64",
        "logging",
        "asyncio",
        "wraps",
        "pricetape",
        "ws_connect",
        "WSMsgType",
        "WSCloseCode",
        "WSError",
        "WSAutoPingStrategy",
        "logger",
        "__pyx_unpickle_Quotra",
        "__pyx_unpickle_QuotraListner",
        "__test__",
    ]
    assert stub_module_names() == set(runtime)


@pytest.mark.parametrize("name", ["__pyx_unpickle_Quotra", "__pyx_unpickle_QuotraListner"])
def test_module_functions_match(name):
    fn = stub_defs(STUB.body)[name]
    assert stub_params(fn, drop_self=False) == runtime_params(getattr(qmod, name))
    assert isinstance(fn, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(getattr(qmod, name))


@pytest.mark.parametrize("cls_name", ["Quotra", "QuotraListner"])
def test_class_methods_match(cls_name):
    cls = getattr(qmod, cls_name)
    stub_cls = stub_defs(STUB.body)[cls_name]
    methods = stub_defs(stub_cls.body)
    runtime = {
        k: v for k, v in vars(cls).items() if k not in NOT_METHODS and callable(getattr(cls, k))
    }
    assert set(methods) - {"__init__"} == set(runtime)
    for name, fn in methods.items():
        if name == "__init__":
            continue
        raw = vars(cls)[name]
        static = isinstance(raw, staticmethod)
        assert is_staticmethod(fn) == static, name
        target = raw.__func__ if static else raw
        assert (
            stub_params(fn, drop_self=not static) == runtime_params(target)[0 if static else 1 :]
        ), name
        assert runtime_params(target)[: 0 if static else 1] == (
            [] if static else [("self", KINDS["args"], inspect.Parameter.empty)]
        )
        assert isinstance(fn, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(target), name


def test_class_attributes_and_bases_match():
    defs = stub_defs(STUB.body)
    quotra_attrs = {n.target.id for n in defs["Quotra"].body if isinstance(n, ast.AnnAssign)}
    getsets = {
        k
        for k, v in vars(qmod.Quotra).items()
        if inspect.isgetsetdescriptor(v) or inspect.ismemberdescriptor(v)
    }
    assert quotra_attrs == getsets == {"IS_CONNECTED"}
    assert (
        [b.id for b in defs["QuotraListner"].bases]
        == [qmod.QuotraListner.__mro__[1].__name__]
        == ["WSListener"]
    )
    assert defs["Quotra"].bases == [] and qmod.Quotra.__mro__[1:] == (object,)


def test_constructors_take_what_the_stub_says(loop):
    defs = stub_defs(STUB.body)
    assert [p[0] for p in stub_params(stub_defs(defs["Quotra"].body)["__init__"], True)] == ["loop"]
    assert [p[0] for p in stub_params(stub_defs(defs["QuotraListner"].body)["__init__"], True)] == [
        "parent",
        "loop",
    ]
    q = qmod.Quotra(loop=loop)
    assert isinstance(q.IS_CONNECTED, asyncio.Event)
    qmod.Quotra(loop)
    with pytest.raises(TypeError):
        qmod.Quotra(loop, 1)
    with pytest.raises(TypeError):
        qmod.Quotra(lp=loop)
    qmod.QuotraListner(q, loop)
    qmod.QuotraListner(parent=q, loop=loop)
    with pytest.raises(TypeError):
        qmod.QuotraListner(q)


def test_stubs_ship_with_the_package():
    assert (PKG / "py.typed").is_file()
    data = tomllib.loads((ROOT / "pyproject.toml").read_text())
    patterns = data["tool"]["setuptools"]["package-data"]["quotra"]
    files = [p.name for p in PKG.iterdir() if p.is_file()]
    for wanted in ("py.typed", "quotra.pyi", "pricetape_pb2.pyi"):
        assert wanted in files
        assert any(fnmatch.fnmatch(wanted, pat) for pat in patterns), (wanted, patterns)


@pytest.mark.parametrize("name", ["message_type", "_quote_message", "_profile_steps"])
def test_native_message_functions_say_they_take_no_keywords(name):
    # They parse a tuple of arguments and refuse keywords: their signatures
    # (read by inspect, stubtest and the API reference) must say so.
    import quotra._pricetape as native

    params = list(inspect.signature(getattr(native, name)).parameters.values())
    assert params and all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in params)
