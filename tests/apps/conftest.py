"""What the command-line tests share: the built orvoc (--orvoc), the version it should print
(--orvoc-version), the ONNX fixtures (--onnx-fixtures), and a runner that starts orvoc in the
test's own scratch directory. CTest passes the options; by hand:

    python3 -m pytest tests/apps --orvoc build/dev/apps/orvoc/orvoc --orvoc-version 0.1.0
"""

import dataclasses
import pathlib
import subprocess

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    group = parser.getgroup("orvoc")
    group.addoption("--orvoc", help="the orvoc executable under test")
    group.addoption("--orvoc-version", help="the version orvoc --version prints")
    group.addoption("--onnx-fixtures", default=str(REPOSITORY / "tests" / "fixtures" / "onnx"),
                    help="the folder of ONNX models and inputs (default: tests/fixtures/onnx)")


@dataclasses.dataclass
class Completed:
    """One run of orvoc: its exit status and what it wrote to stdout and stderr."""

    status: int
    out: str
    err: str

    def describe(self):
        return f"--- status: {self.status}\n--- stdout:\n{self.out}\n--- stderr:\n{self.err}"


@pytest.fixture(scope="session")
def orvoc_path(request):
    path = request.config.getoption("--orvoc")
    if not path:
        pytest.fail("the command-line tests need --orvoc PATH, the built orvoc")
    return pathlib.Path(path).resolve()


@pytest.fixture(scope="session")
def orvoc_version(request):
    version = request.config.getoption("--orvoc-version")
    if not version:
        pytest.fail("the command-line tests need --orvoc-version X.Y.Z")
    return version


@pytest.fixture(scope="session")
def fixtures(request):
    """The ONNX fixtures folder."""
    return pathlib.Path(request.config.getoption("--onnx-fixtures")).resolve()


@pytest.fixture
def work_dir(tmp_path):
    """The empty directory orvoc runs in, its relative output paths landing there."""
    return tmp_path


@pytest.fixture
def orvoc(orvoc_path, work_dir):
    """Runs orvoc with the given arguments in work_dir; stdout may go to an open file instead."""

    def run(*arguments, stdout=subprocess.PIPE):
        completed = subprocess.run([str(orvoc_path), *map(str, arguments)], cwd=work_dir, stdout=stdout,
                                   stderr=subprocess.PIPE, timeout=600)
        decode = lambda stream: stream.decode("utf-8", "surrogateescape") if stream is not None else ""
        return Completed(completed.returncode, decode(completed.stdout), decode(completed.stderr))

    return run
