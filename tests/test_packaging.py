"""pyproject.toml declares the dependencies; requirements.txt and
requirements-dev.txt pin them for the working copy and CI. Both must name the
same packages, each pin within its declared range, and a client-only install
must stay free of the service's and the tests' tooling. The console scripts
must name functions that take the command line. (scripts/check-package.sh
builds and installs the package itself.)"""

import ast
import importlib
import re
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name
from packaging.version import Version

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def pins(name):
    found = {}
    for line in (ROOT / name).read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("-r "):
            found.update(pins(line[3:].strip()))
            continue
        req = Requirement(line)
        spec = list(req.specifier)
        assert len(spec) == 1 and spec[0].operator == "==", f"{name}: not an exact pin: {line}"
        found[canonicalize_name(req.name)] = spec[0].version
    return found


def declared(reqs):
    """Requirements by name; the project's own extras are followed, not listed."""
    out = {}
    for text in reqs:
        req = Requirement(text)
        if canonicalize_name(req.name) == PROJECT["name"]:
            for extra in req.extras:
                out.update(declared(PROJECT["optional-dependencies"][extra]))
        else:
            out[canonicalize_name(req.name)] = req
    return out


def test_pins_match_the_declared_dependencies():
    runtime = declared(PROJECT["dependencies"])
    everything = {**runtime, **declared(PROJECT["optional-dependencies"]["dev"])}
    for file, wanted in (("requirements.txt", runtime), ("requirements-dev.txt", everything)):
        pinned = pins(file)
        assert pinned.keys() == wanted.keys(), (file, sorted(pinned.keys() ^ wanted.keys()))
        for name, version in pinned.items():
            assert wanted[name].specifier.contains(version, prereleases=True), (file, name, version)
    # picows: the range starts at the oldest release the module accepts and
    # admits every one of them; the working copy pins the newest.
    supported = supported_picows()
    picows = runtime["picows"].specifier
    assert all(picows.contains(v) for v in supported), (str(picows), supported)
    assert {s.operator: s.version for s in picows}[">="] == supported[0]
    assert pins("requirements.txt")["picows"] == supported[-1]


def supported_picows():
    """The releases quotra/client/picows_abi.hpp lists, oldest first."""
    header = (ROOT / "quotra" / "client" / "picows_abi.hpp").read_text()
    line = re.search(r"^#define QUOTRA_PICOWS_VERSIONS (.+)$", header, re.M).group(1)
    versions = re.findall(r'"([^"]+)"', line)
    assert versions == sorted(versions, key=Version) and len(versions) == len(set(versions))
    return versions


def test_client_install_pulls_no_service_or_test_tooling():
    runtime = declared(PROJECT["dependencies"])
    assert not runtime.keys() & {"trustme", "cryptography", "pytest", "hypothesis", "build"}
    assert "trustme" in declared(PROJECT["optional-dependencies"]["service"])


@pytest.mark.parametrize("script", sorted(PROJECT["scripts"]))
def test_console_scripts_name_functions_that_take_the_command_line(script, capsys):
    module, _, func = PROJECT["scripts"][script].partition(":")
    main = getattr(importlib.import_module(module), func)
    with pytest.raises(SystemExit) as exit_:
        main(["--help"])
    assert exit_.value.code == 0
    assert capsys.readouterr().out.startswith("usage: ")


def _imported_modules(path: Path, module: str, is_package: bool) -> set[str]:
    """The modules ``module`` imports anywhere in its body (a function's lazy
    import too), except under ``if TYPE_CHECKING:``."""
    here = module.split(".") if is_package else module.split(".")[:-1]
    found: set[str] = set()

    def walk(node: ast.AST) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.If) and "TYPE_CHECKING" in ast.unparse(child.test):
                continue
            if isinstance(child, ast.Import):
                found.update(a.name for a in child.names)
            elif isinstance(child, ast.ImportFrom):
                base = ".".join(here[: len(here) - child.level + 1]) if child.level else ""
                prefix = ".".join(p for p in (base, child.module or "") if p)
                if child.module:
                    found.add(prefix)
                found.update(f"{prefix}.{a.name}" for a in child.names)
            walk(child)

    walk(ast.parse(path.read_text(encoding="utf-8")))
    return found


def test_no_two_modules_import_each_other():
    modules = {}
    for package in ("quotra", "bench"):
        for path in (ROOT / package).rglob("*.py"):
            parts = list(path.relative_to(ROOT).with_suffix("").parts)
            is_package = parts[-1] == "__init__"
            modules[".".join(parts[:-1] if is_package else parts)] = (path, is_package)
    imports = {
        m: _imported_modules(p, m, pkg) & modules.keys() - {m} for m, (p, pkg) in modules.items()
    }
    circles = sorted((a, b) for a in imports for b in imports[a] if a < b and a in imports[b])
    assert not circles, circles
