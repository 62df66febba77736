"""Types for editors and type checkers: the stubs against the built modules, and what mypy
and pyright make of an application's code."""
import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(os.environ.get("ZELMAR_SANITIZE") == "1",
                                reason="the type checks do not depend on the build flavour")


def run(*args, cwd):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd, timeout=600)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """mypy on the given files, strict, with the installed packages (the stubs among them)."""
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(*paths, cwd):
        return run("-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, paths), cwd=cwd)

    return check


@pytest.fixture(scope="module")
def pyright():
    """pyright, as its PyPI package carries it, on the machine's node, with this venv's packages."""
    if shutil.which("node") is None:
        pytest.skip("pyright runs on node, and there is none on the PATH")

    def check(*paths, cwd):
        return run("-m", "pyright", "--pythonpath", sys.executable, *map(str, paths), cwd=cwd)

    return check


def test_stubs_match_the_built_modules(tmp_path):
    result = run("-m", "mypy.stubtest", "zelmar.external.brimvale", "zelmar.external.dunmere", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 2 modules" in result.stdout


def test_every_stub_member_carries_the_modules_docstring():
    spec = importlib.util.spec_from_file_location("stub_docs", ROOT / "tools" / "stub_docs.py")
    stub_docs = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(stub_docs)
    assert stub_docs.drift() == [], "python tools/stub_docs.py --write brings them in line"
    members = list(stub_docs.members())
    assert [q for _, q, _, doc in members if doc is None and "._" not in "." + q] == []
    for path in stub_docs.STUBS.values():
        assert sum(stub == path for stub, *_ in members) > 3


def test_stubs_and_markers_are_installed_beside_the_modules():
    import zelmar
    import zelmar.external.brimvale as brimvale
    import zelmar.external.dunmere as dunmere
    import zelmar_sim

    for module in (brimvale, dunmere):
        stub = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
        assert stub.is_file(), stub
    for package in (zelmar, zelmar_sim):
        assert (Path(package.__file__).parent / "py.typed").is_file()
    assert (Path(brimvale.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_the_checkers_accept_the_examples_and_an_application(checker, request, tmp_path):
    source = tmp_path / "application.py"
    source.write_text(textwrap.dedent(APPLICATION.format(wrong="")))
    examples = sorted((ROOT / "examples").glob("*.py"))
    result = request.getfixturevalue(checker)(*examples, source, cwd=tmp_path)
    assert result.returncode == 0 and len(examples) > 1, result.stdout


def test_mypy_accepts_the_stand_in_sdk_and_the_simulator(mypy, tmp_path):
    result = mypy("-p", "zelmar", "-p", "zelmar_sim", cwd=tmp_path)
    assert result.returncode == 0, result.stdout


APPLICATION = '''
from io import BytesIO
from typing import Optional

from zelmar._vendor.requests.exceptions import ConnectionError, HTTPError, RequestException
from zelmar.core import File
from zelmar.external.brimvale import BrimvaleFile, BrimvaleFileVersion
from zelmar.external.dunmere import DunmereAnalysis

file = BrimvaleFile("https://x/projects/P/items/I")
version: BrimvaleFileVersion = file.get_latest_version("token")
storage: Optional[str] = version.storage_url
content: File = version.get_file()
hub_id: str = file.get_hub_id("token")
analysis = DunmereAnalysis(input_file=BytesIO(b""))
stream: Optional[BytesIO] = analysis.get_output_file()
as_file: Optional[File] = analysis.get_output_file(".err", as_file=True)
{wrong}
'''


@pytest.mark.parametrize(
    "wrong, message",
    [
        ("", None),
        ("BrimvaleFile(123)", 'Argument 1 to "BrimvaleFile" has incompatible type "int"; expected "str"'),
        ("file.get_hub_id()", 'Missing positional argument "access_token" in call to "get_hub_id"'),
        ("count: int = file.urn", 'Incompatible types in assignment (expression has type "str", variable has type "int")'),
        ("sto: BytesIO = analysis.get_output_file()",
         'Incompatible types in assignment (expression has type "BytesIO | None", variable has type "BytesIO")'),
        ("analysis.get_output_file('.sto', True)", 'No overload variant of "get_output_file" of "DunmereAnalysis" matches'),
        ("file.get_region(token=1)", 'Unexpected keyword argument "token" for "get_region"'),
    ],
)
def test_mypy_checks_calls_into_the_modules(mypy, tmp_path, wrong, message):
    source = tmp_path / "application.py"
    source.write_text(textwrap.dedent(APPLICATION.format(wrong=wrong)))
    result = mypy(source, cwd=tmp_path)
    if message is None:
        assert result.returncode == 0, result.stdout
    else:
        assert result.returncode == 1 and message in result.stdout, result.stdout
        assert result.stdout.count("error:") == 1, result.stdout
