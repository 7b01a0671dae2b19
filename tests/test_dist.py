"""The wheel and the sdist, checked the way a user meets them.

``make dist`` runs once for the module; the wheel then goes into a fresh
virtual environment where no compiler, CMake or ninja can be found, and the
sdist into another one that has them.  Slow (two environments, one native
build from the sdist): skip it while working with ``-m "not dist"``.
"""

from __future__ import annotations

import email.parser
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

pytestmark = pytest.mark.dist

ROOT = Path(__file__).resolve().parents[1]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
NAME = PYPROJECT["name"]
EXTENSION = "korvan/factsheet/diagnose/robustness" + sysconfig.get_config_var("EXT_SUFFIX")
BUILD_TOOLS = ("gcc", "g++", "cc", "c++", "clang", "clang++", "cmake", "ninja")
# What a manylinux wheel may link against besides the interpreter itself.
SYSTEM_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}


def _run(cmd: list[str | Path], **kwargs: object) -> str:
    done = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, (
        f"{' '.join(map(str, cmd))} exited {done.returncode}\n"
        f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    )
    return done.stdout


def _tracked(*folders: str) -> set[str]:
    return set(_run(["git", "-C", ROOT, "ls-files", "--", *folders]).split())


@dataclass(frozen=True)
class Dists:
    wheel: Path
    sdist: Path


@pytest.fixture(scope="module")
def dists(tmp_path_factory: pytest.TempPathFactory) -> Dists:
    out = tmp_path_factory.mktemp("dist")
    _run(["make", "-C", ROOT, "dist", f"DIST={out}"])
    wheels, sdists = list(out.glob("*.whl")), list(out.glob("*.tar.gz"))
    assert len(wheels) == 1 and len(sdists) == 1, sorted(p.name for p in out.iterdir())
    return Dists(wheels[0], sdists[0])


@pytest.fixture
def venv(tmp_path: Path) -> Iterator[Path]:
    """A fresh venv's bin folder; pip in it reads the machine's own pip configuration.

    Removed afterwards: with its dependencies a venv holds about 0.5 GB.
    """
    path = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", path], check=True)
    yield path / "bin"
    shutil.rmtree(path, ignore_errors=True)


def _pip_install(bin_dir: Path) -> list[str | Path]:
    # Byte-compiling every installed module would take half of the install's time.
    return [bin_dir / "python", "-m", "pip", "install", "--no-compile"]


def _clean_env() -> dict[str, str]:
    # Keep PIP_* and HOME: the machine's index and find-links settings apply.
    return {k: v for k, v in os.environ.items()
            if k not in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME", "CC", "CXX")}


def _check_installed(bin_dir: Path, env: dict[str, str], cwd: Path) -> str:
    """Import the module from the venv, compare the three version sources."""
    where = _run([bin_dir / "python", "-c",
                  "import korvan.factsheet.diagnose.robustness as m; print(m.__file__)"],
                 env=env, cwd=cwd).strip()
    assert Path(where).is_relative_to(bin_dir.parent) and where.endswith(EXTENSION)
    versions = _run([bin_dir / "python", "-c",
                     "import korvan, importlib.metadata as md; "
                     f"print(korvan.__version__, md.version({NAME!r}))"], env=env, cwd=cwd).split()
    command = _run([bin_dir / "korvan-robustness", "--version"], env=env, cwd=cwd).split()
    assert command[0] == "korvan-robustness"
    assert versions[0] == versions[1] == command[1]
    return versions[0]


def test_wheel_installs_and_runs_without_build_tools(
        dists: Dists, venv: Path, tmp_path: Path) -> None:
    env, bin_dir = _clean_env(), venv
    env["PATH"] = str(bin_dir)
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    found = _run([bin_dir / "python", "-c",
                  "import shutil, sys; print([t for t in sys.argv[1:] if shutil.which(t)])",
                  *BUILD_TOOLS, cc], env=env).strip()
    assert found == "[]", f"build tools reachable in the bare venv: {found}"

    # --only-binary: pip may not build anything, for the package or its dependencies.
    _run([*_pip_install(bin_dir), "--only-binary", ":all:", dists.wheel], env=env)
    version = _check_installed(bin_dir, env, tmp_path)
    assert dists.wheel.name.startswith(f"{NAME.replace('-', '_')}-{version}-")

    out = tmp_path / "out"
    _run([bin_dir / "korvan-robustness", "--demo", "--output", out], env=env, cwd=tmp_path)
    assert {"chart.png", "result.json"} <= {p.name for p in out.iterdir()}


def test_sdist_builds_and_installs(dists: Dists, venv: Path, tmp_path: Path) -> None:
    env, bin_dir = _clean_env(), venv
    _run([*_pip_install(bin_dir), dists.sdist], env=env)
    _check_installed(bin_dir, env, tmp_path)


def test_wheel_holds_exactly_the_packages_and_extension(dists: Dists) -> None:
    with zipfile.ZipFile(dists.wheel) as whl:
        names = {n for n in whl.namelist() if not n.endswith("/")}
        so = whl.read(EXTENSION)
    info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
    expected = {p.removeprefix("src/") for p in _tracked("src")} | {EXTENSION} | {
        f"{info}/{n}" for n in ("METADATA", "WHEEL", "entry_points.txt", "RECORD",
                                "licenses/LICENSE")}
    assert names == expected
    assert {"korvan/py.typed", "korvan/factsheet/diagnose/robustness.pyi"} <= names

    # The module links only the C library (the C++ runtime is inside it) and
    # exports only its entry point.
    from elftools.elf.elffile import ELFFile  # comes with auditwheel, which make dist installs

    elf = ELFFile(io.BytesIO(so))
    dynamic = elf.get_section_by_name(".dynamic")
    needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
    assert needed <= SYSTEM_LIBS, needed
    exported = {s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"}
    assert exported == {"PyInit_robustness"}


def test_sdist_holds_the_sources_and_build_files_only(dists: Dists) -> None:
    with tarfile.open(dists.sdist) as tar:
        names = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
    expected = _tracked("src", "native") | {
        "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO"}
    assert names == expected


def _extra_names(extras: dict[str, list[str]], extra: str) -> set[str]:
    """Names of the packages an extra pulls in, following ``NAME[extra]`` references."""
    names: set[str] = set()
    for text in extras[extra]:
        req = Requirement(text)
        if canonicalize_name(req.name) == canonicalize_name(NAME):
            for inner in req.extras:
                names |= _extra_names(extras, inner)
        else:
            names.add(canonicalize_name(req.name))
    return names


def test_wheel_metadata_matches_pyproject(dists: Dists) -> None:
    with zipfile.ZipFile(dists.wheel) as whl:
        meta_name = next(n for n in whl.namelist() if n.endswith(".dist-info/METADATA"))
        meta = email.parser.Parser().parsestr(whl.read(meta_name).decode())
    assert meta["Name"] == NAME
    assert meta["License-Expression"] == PYPROJECT["license"]
    assert meta.get_all("License-File") == ["LICENSE"]

    python = SpecifierSet(meta["Requires-Python"])
    assert [v in python for v in ("3.10.14", "3.11.0", "3.11.9", "3.12.0")] == [
        False, True, True, False]

    extras: dict[str, list[str]] = PYPROJECT["optional-dependencies"]
    assert set(meta.get_all("Provides-Extra")) == set(extras)

    def key(req: Requirement) -> tuple[str, frozenset[str], SpecifierSet]:
        return canonicalize_name(req.name), frozenset(req.extras), req.specifier

    declared = [Requirement(r) for r in meta.get_all("Requires-Dist")]
    for extra, reqs in extras.items():
        in_wheel = {key(r) for r in declared
                    if r.marker is not None and r.marker.evaluate({"extra": extra})}
        assert in_wheel == {key(Requirement(r)) for r in reqs}, extra
        # Every optional feature is exercised by the suite, so `test` pulls it in.
        assert _extra_names(extras, extra) <= _extra_names(extras, "test"), extra
