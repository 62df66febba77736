"""Loading zelmar.external.brimvale: guards, namespace, import failures, exported symbols."""
import importlib
import subprocess
import sys
import textwrap

import pytest

STANDARD = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
GLOBALS = [
    "dataclasses", "re", "dedent", "HTTPError", "Optional", "_Context", "File", "_BASE_URL",
    "BrimvaleFileVersion", "BrimvaleFile", "_DataManagementAPI", "_AECDataModelAPI", "__test__",
]


def run(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter: loading happens once per process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_namespace(brimvale):
    import dataclasses
    import re
    import textwrap as tw
    import typing

    import zelmar.core
    from zelmar._vendor.requests.exceptions import HTTPError

    assert set(dir(brimvale)) == STANDARD | set(GLOBALS)
    assert [name for name in vars(brimvale) if name in GLOBALS] == GLOBALS
    assert brimvale.__doc__ is None
    assert brimvale.__test__ == {}
    assert brimvale.__name__ == "zelmar.external.brimvale"
    assert brimvale.__package__ == "zelmar.external"
    assert (brimvale.dataclasses, brimvale.re, brimvale.dedent) == (dataclasses, re, tw.dedent)
    assert brimvale.HTTPError is HTTPError and brimvale.Optional is typing.Optional
    assert brimvale._Context is zelmar.core._Context and brimvale.File is zelmar.core.File
    assert brimvale.__builtins__ is __import__("builtins")


def test_import_twice_and_reload_keep_everything(brimvale):
    classes = [brimvale.BrimvaleFile, brimvale.BrimvaleFileVersion, brimvale._DataManagementAPI]
    assert importlib.import_module("zelmar.external.brimvale") is brimvale
    assert importlib.reload(brimvale) is brimvale
    assert [brimvale.BrimvaleFile, brimvale.BrimvaleFileVersion, brimvale._DataManagementAPI] == classes
    assert all(a is b for a, b in zip(classes, [brimvale.BrimvaleFile, brimvale.BrimvaleFileVersion,
                                                brimvale._DataManagementAPI]))


def test_import_after_removal_returns_the_same_module(brimvale, monkeypatch):
    cls = brimvale.BrimvaleFile
    monkeypatch.delitem(sys.modules, "zelmar.external.brimvale")
    again = importlib.import_module("zelmar.external.brimvale")
    assert again is brimvale and again.BrimvaleFile is cls


def test_second_interpreter_is_refused():
    result = run("""
        import _xxsubinterpreters as interpreters
        import zelmar.external.brimvale as b
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import zelmar.external.brimvale")
        except interpreters.RunFailedError as e:
            print("refused:", e)
        interpreters.destroy(interp)
        print(b.BrimvaleFile("https://x/projects/P/items/I").urn)
    """)
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert ("Interpreter change detected - this module can only be loaded into one interpreter per process."
            in result.stdout)
    assert result.stdout.strip().endswith("\nI")


def test_executing_another_module_object_is_refused():
    result = run("""
        import importlib.util
        spec = importlib.util.find_spec("zelmar.external.brimvale")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)  # the same object again: nothing happens
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Module 'brimvale' has already been imported. Re-initialisation is not supported.\n"


@pytest.mark.parametrize(
    "version, warned",
    [("3.11.2 (main)", "compile time Python version 3.10 of module 'zelmar.external.brimvale' does not match "
                       "runtime version 3.11"),
     ("3.10.99 (main)", None)],
)
def test_version_warning(version, warned):
    result = run(f"""
        import sys, warnings
        sys.version = {version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zelmar.external.brimvale
        print([(w.category.__name__, str(w.message)) for w in caught if "compile time" in str(w.message)])
    """)
    assert result.returncode == 0, result.stderr
    expected = [("RuntimeWarning", warned)] if warned else []
    assert result.stdout.strip() == repr(expected)


def test_version_warning_as_error_fails_the_import():
    result = run("""
        import sys, traceback, warnings
        sys.version = "4.0.0"
        warnings.simplefilter("error", RuntimeWarning)
        try:
            import zelmar.external.brimvale
        except RuntimeWarning as e:
            print(type(e).__name__, e)
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])
        print("zelmar.external.brimvale" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "RuntimeWarning compile time Python version 3.10 of module 'zelmar.external.brimvale' does not match "
        "runtime version 4.0",
        "init zelmar.external.brimvale",
        "False",
    ]


def test_missing_sdk_name_fails_with_cannot_import_and_can_be_retried():
    result = run("""
        import sys, traceback
        import zelmar.core
        saved = zelmar.core.File
        del zelmar.core.File
        try:
            import zelmar.external.brimvale
        except ImportError as e:
            print(type(e).__name__, e)
            entry = traceback.extract_tb(e.__traceback__)[-1]
            print(entry.name, entry.filename)
        zelmar.core.File = saved
        import zelmar.external.brimvale as b
        print(b.File is saved, b.BrimvaleFile.__module__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError cannot import name File",
        "init zelmar.external.brimvale src/external/brimvale/module.cpp",
        "True zelmar.external.brimvale",
    ]


def test_missing_sdk_package_is_the_interpreters_import_error():
    result = run("""
        import sys
        sys.modules["zelmar._vendor.requests.exceptions"] = None
        try:
            import zelmar.external.brimvale
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ModuleNotFoundError import of zelmar._vendor.requests.exceptions halted")


def test_only_the_init_function_is_exported(brimvale):
    out = subprocess.run(["nm", "-D", "--defined-only", brimvale.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_brimvale"]


def test_traceback_entries_name_functions_and_source_lines(brimvale, session):
    import traceback

    from fakes import status

    session.add(status(500))
    file = brimvale.BrimvaleFile("https://x/projects/P/items/I")
    with pytest.raises(ValueError) as info:
        file.get_hub_id("t")

    def entries(exc):
        return [(e.name, e.filename) for e in traceback.extract_tb(exc.__traceback__) if e.filename.startswith("src/")]

    assert entries(info.value) == [("zelmar.external.brimvale.BrimvaleFile.get_hub_id", "src/external/brimvale/file.cpp")]
    assert entries(info.value.__cause__) == [("zelmar.external.brimvale.BrimvaleFile._get_hub", "src/external/brimvale/file.cpp")]
    assert entries(info.value.__cause__.__cause__) == [
        ("zelmar.external.brimvale._DataManagementAPI.get_hubs", "src/external/brimvale/data_management.cpp")]
    assert all(e.lineno > 0 for e in traceback.extract_tb(info.value.__traceback__))
