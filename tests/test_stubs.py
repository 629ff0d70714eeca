"""The committed .pyi stubs describe the built extension modules."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("nanobind.stubgen")

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "korvane"
STUBS = sorted(PACKAGE.rglob("_*.pyi"))


def test_stubs_match_the_built_modules(tmp_path):
    modules = [".".join(stub.relative_to(ROOT / "src").with_suffix("").parts) for stub in STUBS]
    assert "korvane._kernels" in modules
    command = [sys.executable, "-m", "nanobind.stubgen", "-q", "-O", str(tmp_path),
               "-p", str(ROOT / "cpp" / "bindings" / "stub_patterns.txt")]
    for module in modules:
        command += ["-m", module]
    subprocess.run(command, check=True, timeout=300)
    stale = [module for module, stub in zip(modules, STUBS)
             if (tmp_path / stub.name).read_text() != stub.read_text()]
    assert not stale, f"stale stubs, regenerate them with `make stubs`: {stale}"
