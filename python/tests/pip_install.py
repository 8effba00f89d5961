"""`pip install .` and a wheel, offline, into a fresh virtual environment; run by CTest as
python.pip_install (python/CMakeLists.txt), not collected by pytest.

The sources are copied into the work directory first (as a fresh clone would have them, without
build trees), so that setuptools' build directory lies there and not in the source tree. The
virtual environment, made by the interpreter running this script, sees the system's
site-packages (numpy, setuptools' wheel support), and everything is installed with
--no-build-isolation --no-index: nothing is downloaded. The package
must then import from another directory, from the environment, with the project's version, and
compile and evaluate a small graph; after `pip uninstall` nothing of it may be left to import.

The module is built without optimisation (ORVO_PIP_BUILD_TYPE=None), which compiles quickest, and
without the flags of the build tree that runs this test or of the environment (CXXFLAGS and the
like): a sanitized module would not load into a plain interpreter.

    python3 pip_install.py SOURCE_DIR WORK_DIR VERSION [CMAKE_ARGUMENT...]

The CMake arguments (which optional libraries to build, say) reach the configure step through
CMAKE_ARGS.
"""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import time
import zipfile

CHECK = """
import pathlib
import numpy as np
import orvo_compiler as oc

print(pathlib.Path(oc.__file__).resolve())
print(oc.__version__)
graph = oc.Graph()
x = graph.input("x", [4, 8])
w = graph.weight("w", [8, 2])
graph.mark_output(graph.matmul("y", x, w))
schedule = oc.compile(graph, oc.CompilerOptions())
assert schedule.phases, "an empty schedule"
values = {"x": np.ones((4, 8), dtype=np.float32), "w": np.full((8, 2), 0.5, dtype=np.float32)}
assert oc.evaluate(graph, values)["y"].tolist() == [[4.0, 4.0]] * 4
"""

# Flags meant for the build tree or the shell this runs in, not for the module pip builds.
DROPPED_VARIABLES = ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS", "CMAKE_ARGS", "LD_PRELOAD", "ASAN_OPTIONS",
                     "UBSAN_OPTIONS", "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONNOUSERSITE",
                     "PYTHONUSERBASE", "VIRTUAL_ENV", "PIP_REQUIRE_VIRTUALENV", "PIP_USER", "PIP_TARGET",
                     "PIP_PREFIX", "CMAKE_BUILD_TYPE")


def run(command, **arguments):
    """Runs the command, printing how long it took, and its output if it failed."""
    command = [str(part) for part in command]
    shown = " ".join("<check>" if part == CHECK else part for part in command)
    started = time.monotonic()
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **arguments)
    if result.returncode != 0:
        print(result.stdout)
        sys.exit(f"failed ({result.returncode}): {shown}")
    print(f"{time.monotonic() - started:6.1f} s  {shown}", flush=True)
    return result.stdout


def copy_sources(source, destination):
    """The source tree without its git data and without build trees (a CMakeCache.txt marks one,
    and /build and /out are where the presets and tools write)."""
    def ignored(directory, names):
        directory = pathlib.Path(directory)
        skipped = {name for name in names
                   if name in (".git", "__pycache__") or name.endswith(".egg-info")
                   or (directory / name / "CMakeCache.txt").exists() or directory / name == destination}
        if directory == source:
            skipped |= {"build", "out"} & set(names)
        return skipped

    shutil.copytree(source, destination, ignore=ignored, symlinks=True)


def check_import(python, environment, where, venv, version):
    """Imports the package with the environment's interpreter from `where` and checks what it loaded."""
    lines = run([python, "-c", CHECK], env=environment, cwd=where).splitlines()
    loaded, loaded_version = pathlib.Path(lines[0]), lines[1]
    if not loaded.is_relative_to(venv.resolve()):
        sys.exit(f"orvo_compiler was loaded from {loaded}, not from the environment {venv}")
    if loaded_version != version:
        sys.exit(f"the installed module says version {loaded_version}, the project is {version}")


def main():
    source, work, version = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2]).resolve(), sys.argv[3]
    cmake_arguments = sys.argv[4:]
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    clone, venv, wheels, elsewhere = work / "source", work / "venv", work / "wheels", work / "elsewhere"
    copy_sources(source, clone)
    elsewhere.mkdir()

    environment = {name: value for name, value in os.environ.items() if name not in DROPPED_VARIABLES}
    environment.update(ORVO_PIP_BUILD_TYPE="None", PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1",
                       PYTHONDONTWRITEBYTECODE="1")
    if cmake_arguments:
        environment["CMAKE_ARGS"] = shlex.join(cmake_arguments)

    run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=environment)
    python, pip = venv / "bin" / "python", [venv / "bin" / "pip"]

    # From the sources, as `pip install .` in a clone does.
    run([*pip, "install", "--no-build-isolation", "--no-index", "."], env=environment, cwd=clone)
    check_import(python, environment, elsewhere, venv, version)
    if list((clone / "python" / "orvo_compiler").glob("_core*")):
        sys.exit("the build left a module in the package's sources, where it would shadow another build's")

    # Uninstalled, nothing of it is left to import.
    run([*pip, "uninstall", "--yes", "orvo_compiler"], env=environment)
    gone = subprocess.run([python, "-c", "import orvo_compiler"], env=environment, cwd=elsewhere,
                          capture_output=True, text=True)
    if gone.returncode == 0 or "No module named 'orvo_compiler'" not in gone.stderr:
        sys.exit(f"orvo_compiler still imports after pip uninstall:\n{gone.stderr}")

    # A wheel, then the wheel installed (setuptools' build directory is kept, so the module is
    # not compiled again).
    run([*pip, "wheel", "--no-build-isolation", "--no-index", "--no-deps", "--wheel-dir", wheels, "."],
        env=environment, cwd=clone)
    built = list(wheels.glob("orvo_compiler-*.whl"))
    if len(built) != 1 or not built[0].name.startswith(f"orvo_compiler-{version}-"):
        sys.exit(f"expected one wheel of version {version}, found {[path.name for path in built]}")
    with zipfile.ZipFile(built[0]) as wheel:
        names = set(wheel.namelist())
    expected = {"orvo_compiler/__init__.py", "orvo_compiler/__init__.pyi", "orvo_compiler/py.typed"}
    if not expected <= names or not any(name.startswith("orvo_compiler/_core.") for name in names):
        sys.exit(f"the wheel lacks part of the package: {sorted(names)}")
    run([*pip, "install", "--no-index", built[0]], env=environment, cwd=elsewhere)
    check_import(python, environment, elsewhere, venv, version)


if __name__ == "__main__":
    main()
