"""cmake --install puts an importable package, with its stubs and py.typed, under the prefix."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import orvo_compiler as oc

PACKAGE = pathlib.Path(oc.__file__).resolve().parent
BUILD = PACKAGE.parents[1]


@pytest.mark.skipif(not (BUILD / "CMakeCache.txt").is_file() or shutil.which("cmake") is None,
                    reason="the module was not loaded from a CMake build tree")
def test_install_component_into_a_prefix(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix), "--component", "python"],
                   check=True, capture_output=True, timeout=300)
    installed = [path.parent for path in prefix.rglob("orvo_compiler/__init__.py")]
    assert len(installed) == 1
    package = installed[0]
    assert {"__init__.pyi", "py.typed"} <= {path.name for path in package.iterdir()}
    assert any(path.name.startswith("_core.") for path in package.iterdir())
    # Nothing of this process's environment but the sanitizer runtime a sanitized build's module
    # needs preloaded (see python/CMakeLists.txt).
    environment = {name: os.environ[name] for name in ("LD_PRELOAD", "ASAN_OPTIONS") if name in os.environ}
    loaded = subprocess.run([sys.executable, "-c", "import orvo_compiler; print(orvo_compiler.__file__)"],
                            env={**environment, "PYTHONPATH": str(package.parent)}, check=True, capture_output=True,
                            text=True, timeout=60)
    assert pathlib.Path(loaded.stdout.strip()).resolve() == (package / "__init__.py").resolve()
