"""Builds the extension orvo_compiler._core with CMake for the interpreter that runs this file.

`pip install --no-build-isolation .` (or `pip wheel`) runs it: CMake configures the project under
setuptools' build_temp with the tests, executables and benchmarks left out, builds the module's
target alone, and the module joins python/orvo_compiler in the wheel. The environment chooses:

  ORVO_PIP_BUILD_TYPE  CMake build type, Release unless set (None: no optimisation, no debug
                       information, the quickest to compile)
  CMAKE_ARGS           further arguments for the configure step, split as a shell would
  CMAKE_GENERATOR, CMAKE_BUILD_PARALLEL_LEVEL, CXX, CXXFLAGS, CMAKE_CXX_COMPILER_LAUNCHER and
  the rest of CMake's own variables, which CMake reads itself

Without CMAKE_GENERATOR, Ninja builds when it is on PATH; without CMAKE_BUILD_PARALLEL_LEVEL (or
build_ext's --parallel), as many jobs as there are processors.
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
MODULE_TARGET = "orvo_compiler_python"


def project_version():
    """The VERSION of project(orvo_compiler ...) in the top CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"^\s*project\(\s*orvo_compiler\s[^)]*\bVERSION\s+([0-9]+(?:\.[0-9]+)*)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError("CMakeLists.txt: no project(orvo_compiler VERSION ...) to take the version from")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("building orvo_compiler needs cmake on PATH (Debian: apt-get install cmake)")
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)

        configure = [cmake, "-S", str(ROOT), "-B", str(build_dir),
                     f"-DCMAKE_BUILD_TYPE={os.environ.get('ORVO_PIP_BUILD_TYPE') or 'Release'}"]
        if not os.environ.get("CMAKE_GENERATOR") and not (build_dir / "CMakeCache.txt").exists() \
                and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        # What the wheel needs whatever CMAKE_ARGS says: the module for this interpreter (a
        # virtual environment's python too, which decides the extension's suffix), and the
        # libraries linked into it statically, since nothing of the build tree is installed.
        configure += [f"-DPython_EXECUTABLE={sys.executable}",
                      "-DORVO_BUILD_PYTHON=ON",
                      "-DORVO_BUILD_TESTS=OFF",
                      "-DORVO_BUILD_APPS=OFF",
                      "-DORVO_BUILD_BENCH=OFF",
                      "-DORVO_BUILD_FUZZ=OFF",
                      "-DBUILD_SHARED_LIBS=OFF"]
        subprocess.run(configure, check=True)

        build = [cmake, "--build", str(build_dir), "--target", MODULE_TARGET]
        if self.parallel:
            build += ["--parallel", str(self.parallel)]
        elif not os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL"):
            build += ["--parallel", str(os.cpu_count() or 1)]
        subprocess.run(build, check=True)

        # python/CMakeLists.txt lays the package out in <build>/python/orvo_compiler; the module's
        # suffix there is the one FindPython read from this interpreter.
        built = sorted((build_dir / "python" / "orvo_compiler").glob("_core.*.so")) + \
            sorted((build_dir / "python" / "orvo_compiler").glob("_core.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one _core module in {build_dir / 'python' / 'orvo_compiler'}, "
                               f"found {[path.name for path in built]}: was the Python module skipped? "
                               f"(see the configure step's messages)")
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        if built[0].name != destination.name:
            raise RuntimeError(f"CMake built {built[0].name} where {sys.executable} loads {destination.name}: "
                               f"the module was built for another interpreter")
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], destination)


setup(
    version=project_version(),
    ext_modules=[Extension("orvo_compiler._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
