"""Loading the modules: guards, namespaces, import failures, exported symbols."""
import importlib
import os
import shutil
import subprocess
import sys
import traceback
from pathlib import Path

import pytest
from support import run_python

ROOT = Path(__file__).resolve().parent.parent

STANDARD = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
BRIMVALE_GLOBALS = [
    "dataclasses", "re", "dedent", "HTTPError", "Optional", "_Context", "File", "_BASE_URL",
    "BrimvaleFileVersion", "BrimvaleFile", "_DataManagementAPI", "_AECDataModelAPI", "__test__",
]
DUNMERE_GLOBALS = [
    "base64", "BytesIO", "Optional", "cast", "Union", "ExternalProgram", "_JobContent", "_dseries_exception_map",
    "_get_dseries_file_body", "File", "__all__", "DunmereAnalysis", "__test__",
]

# module, its globals, an SDK module it imports from and a name taken from there, a class
MODULES = [
    ("brimvale", BRIMVALE_GLOBALS, "zelmar.core", "File", "BrimvaleFile"),
    ("dunmere", DUNMERE_GLOBALS, "zelmar.external.external_program", "_get_dseries_file_body", "DunmereAnalysis"),
]
module_cases = pytest.mark.parametrize("short, names, sdk_module, sdk_name, cls", MODULES)


@module_cases
def test_namespace(short, names, sdk_module, sdk_name, cls):
    module = importlib.import_module(f"zelmar.external.{short}")
    assert set(dir(module)) == STANDARD | set(names)
    # The binding order, from a fresh interpreter: tests here replace and restore globals.
    result = run_python(f"import zelmar.external.{short} as m; print(list(vars(m)))")
    assert [name for name in eval(result.stdout) if name in names] == names
    assert module.__doc__ is None
    assert module.__test__ == {} and type(module.__test__) is dict
    assert module.__name__ == f"zelmar.external.{short}"
    assert module.__package__ == "zelmar.external"
    assert module.__builtins__ is __import__("builtins")
    assert getattr(module, sdk_name) is getattr(importlib.import_module(sdk_module), sdk_name)


def test_brimvale_imports(brimvale):
    import dataclasses
    import re
    import textwrap
    import typing

    import zelmar.core
    from zelmar._vendor.requests.exceptions import HTTPError

    assert (brimvale.dataclasses, brimvale.re, brimvale.dedent) == (dataclasses, re, textwrap.dedent)
    assert brimvale.HTTPError is HTTPError and brimvale.Optional is typing.Optional
    assert brimvale._Context is zelmar.core._Context


def test_dunmere_imports():
    import base64
    import io
    import typing

    import zelmar.core
    import zelmar.external.dunmere as dunmere
    import zelmar.external.external_program as ep

    assert dunmere.__all__ == ["DunmereAnalysis"] and type(dunmere.__all__) is list
    assert (dunmere.base64, dunmere.BytesIO) == (base64, io.BytesIO)
    assert (dunmere.Optional, dunmere.cast, dunmere.Union) == (typing.Optional, typing.cast, typing.Union)
    assert (dunmere.ExternalProgram, dunmere._JobContent, dunmere._dseries_exception_map) == (
        ep.ExternalProgram, ep._JobContent, ep._dseries_exception_map)
    assert dunmere.File is zelmar.core.File


@module_cases
def test_import_twice_and_reload_keep_everything(short, names, sdk_module, sdk_name, cls):
    module = importlib.import_module(f"zelmar.external.{short}")
    before = getattr(module, cls)
    assert importlib.import_module(f"zelmar.external.{short}") is module
    assert importlib.reload(module) is module
    assert getattr(module, cls) is before


@module_cases
def test_import_after_removal_returns_the_same_module(monkeypatch, short, names, sdk_module, sdk_name, cls):
    module = importlib.import_module(f"zelmar.external.{short}")
    before = getattr(module, cls)
    monkeypatch.delitem(sys.modules, f"zelmar.external.{short}")
    again = importlib.import_module(f"zelmar.external.{short}")
    assert again is module and getattr(again, cls) is before


OWN_REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def second_interpreter_outcomes(short):
    """What importing the module in a second interpreter gives, by version. Up to 3.11 a
    sub-interpreter shares the main one's configuration and reaches the module's create
    step, which refuses it. From 3.12 the default sub-interpreter is isolated (its own GIL):
    the interpreter itself refuses a module that does not declare support for that, and a
    legacy-configured one reaches the create step as before."""
    legacy = f"legacy ImportError: {OWN_REFUSAL}"
    if sys.version_info < (3, 12):
        return [legacy]
    return [f"isolated ImportError: module zelmar.external.{short} does not support loading in subinterpreters", legacy]


@module_cases
def test_second_interpreter_is_refused(short, names, sdk_module, sdk_name, cls):
    result = run_python(f"""
        import sys
        import zelmar.external.{short} as module
        statement = "import zelmar.external.{short}"
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            def attempt(label, config):
                interp = interpreters.create(config)
                info = interpreters.run_string(interp, statement)
                interpreters.destroy(interp)
                print(label, "imported" if info is None else f"{{info.type.__name__}}: {{info.msg}}")
            attempt("isolated", "isolated")
            attempt("legacy", "legacy")
        else:
            import _xxsubinterpreters as interpreters
            def attempt(label, **config):
                interp = interpreters.create(**config)
                try:
                    interpreters.run_string(interp, statement)
                    print(label, "imported")
                except interpreters.RunFailedError as e:
                    print(label, str(e).replace("<class 'ImportError'>", "ImportError"))
                interpreters.destroy(interp)
            if sys.version_info >= (3, 12):
                attempt("isolated")
                attempt("legacy", isolated=False)
            else:
                attempt("legacy")
        print(module.{cls}.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == second_interpreter_outcomes(short) + [cls]


@module_cases
def test_executing_another_module_object_is_refused(short, names, sdk_module, sdk_name, cls):
    result = run_python(f"""
        import importlib.util
        found = importlib.util.find_spec("zelmar.external.{short}")
        first = importlib.util.module_from_spec(found)
        second = importlib.util.module_from_spec(found)
        assert first is not second
        found.loader.exec_module(first)
        found.loader.exec_module(first)  # the same object again: nothing happens
        try:
            found.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"Module '{short}' has already been imported. Re-initialisation is not supported.\n"


@pytest.mark.parametrize("short", ["brimvale", "dunmere"])
@pytest.mark.parametrize("sys_version", [None, "3.9.1 (main)", "2.7", "4.0.0", "not a version"])
def test_no_version_warning_on_the_version_built_for(short, sys_version):
    # Built for the running interpreter: no warning, whatever sys.version has been set to.
    result = run_python(f"""
        import sys, warnings
        if {sys_version!r} is not None:
            sys.version = {sys_version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zelmar.external.{short}
        print([str(w.message) for w in caught if "compile time" in str(w.message)])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


@pytest.fixture(scope="module")
def built_for_another_version(tmp_path_factory):
    """The modules built from these sources, but standing for Python 3.9: what a build for
    another version looks like to the interpreter that loads it."""
    build = tmp_path_factory.mktemp("built-for-3.9")
    tools = os.path.dirname(sys.executable)
    cmake = os.path.join(tools, "cmake") if os.path.exists(os.path.join(tools, "cmake")) else shutil.which("cmake")
    environment = {**os.environ, "PATH": tools + os.pathsep + os.environ.get("PATH", "")}
    for step in ([cmake, "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                  f"-DPython_EXECUTABLE={sys.executable}", "-DZELMAR_BUILT_FOR=3.9"],
                 [cmake, "--build", str(build)]):
        subprocess.run(step, check=True, capture_output=True, env=environment)
    return {short: str(next(build.glob(f"{short}.*.so"))) for short in ("brimvale", "dunmere")}


LOAD_FROM = """
import importlib.util, sys, traceback, warnings
import zelmar.external
spec = importlib.util.spec_from_file_location("zelmar.external.{short}", {path!r})
module = importlib.util.module_from_spec(spec)
"""


@pytest.mark.parametrize("short", ["brimvale", "dunmere"])
def test_version_warning_names_the_version_built_for_and_the_running_one(built_for_another_version, short):
    result = run_python(LOAD_FROM.format(short=short, path=built_for_another_version[short]) + f"""
sys.version = "3.9.0 (reassigned)"  # not what the module reads
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    spec.loader.exec_module(module)
print([(w.category.__name__, str(w.message)) for w in caught if "compile time" in str(w.message)])
print(module.__name__, hasattr(module, "__test__"))
""")
    assert result.returncode == 0, result.stderr
    running = "%d.%d" % sys.version_info[:2]
    assert result.stdout.splitlines() == [
        repr([("RuntimeWarning", f"compile time Python version 3.9 of module 'zelmar.external.{short}' "
                                 f"does not match runtime version {running}")]),
        f"zelmar.external.{short} True",
    ]


@pytest.mark.parametrize("short", ["brimvale", "dunmere"])
def test_version_warning_as_error_fails_the_import(built_for_another_version, short):
    result = run_python(LOAD_FROM.format(short=short, path=built_for_another_version[short]) + f"""
warnings.simplefilter("error", RuntimeWarning)
try:
    spec.loader.exec_module(module)
except RuntimeWarning as e:
    print(type(e).__name__)
    print(traceback.extract_tb(e.__traceback__)[-1].name)
print("zelmar.external.{short}" in sys.modules)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["RuntimeWarning", f"init zelmar.external.{short}", "False"]


@module_cases
def test_missing_sdk_name_fails_with_cannot_import_and_can_be_retried(short, names, sdk_module, sdk_name, cls):
    result = run_python(f"""
        import importlib, traceback
        sdk = importlib.import_module("{sdk_module}")
        saved = sdk.{sdk_name}
        del sdk.{sdk_name}
        try:
            import zelmar.external.{short}
        except ImportError as e:
            print(type(e).__name__, e)
            entry = traceback.extract_tb(e.__traceback__)[-1]
            print(entry.name, entry.filename)
        sdk.{sdk_name} = saved
        import zelmar.external.{short} as module
        print(module.{sdk_name} is saved, module.{cls}.__module__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"ImportError cannot import name {sdk_name}",
        f"init zelmar.external.{short} src/external/{short}/module.cpp",
        f"True zelmar.external.{short}",
    ]


@pytest.mark.parametrize("short, missing", [("brimvale", "zelmar._vendor.requests.exceptions"),
                                            ("dunmere", "zelmar.external.external_program")])
def test_missing_sdk_package_is_the_interpreters_import_error(short, missing):
    result = run_python(f"""
        import sys
        sys.modules["{missing}"] = None
        try:
            import zelmar.external.{short}
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"ModuleNotFoundError import of {missing} halted")


@pytest.mark.parametrize("short", ["brimvale", "dunmere"])
def test_only_the_init_function_is_exported(short):
    module = importlib.import_module(f"zelmar.external.{short}")
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == [f"PyInit_{short}"]


def test_modules_share_no_state():
    result = run_python("""
        import zelmar.external.dunmere as d, zelmar.external.brimvale as b
        print(type(b.BrimvaleFile.get_hub_id) is type(d.DunmereAnalysis.get_output_file))
        print(d.DunmereAnalysis.get_output_file.__globals__ is vars(d), b.BrimvaleFile.url.fget.__globals__ is vars(b))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "True", "True"]


def test_traceback_entries_name_functions_and_source_lines(brimvale, session):
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


def test_a_reraised_exception_keeps_the_line_that_failed(brimvale, session):
    session.add(RuntimeError("session down"))  # not one the handler maps: raised again
    with pytest.raises(RuntimeError) as info:
        brimvale.BrimvaleFile("https://x/projects/P/items/I").get_latest_version("t")
    [entry] = [e for e in traceback.extract_tb(info.value.__traceback__) if e.name.endswith(".get_latest_version")]
    source = Path(entry.filename).read_text().splitlines()
    assert "n::get_item_tip" in source[entry.lineno - 1], source[entry.lineno - 1]


EMBEDDING = r"""
#include <Python.h>
int main(int argc, char** argv) {
  for (int round = 0; round < 2; ++round) {  /* the interpreter, finalised and started again */
    Py_Initialize();
    PyRun_SimpleString(argv[1]);
    Py_Finalize();
  }
  return 0;
}
"""


@module_cases
def test_an_interpreter_started_again_after_finalize_gets_an_import_error(tmp_path, short, names, sdk_module,
                                                                           sdk_name, cls):
    config = Path(sys.base_prefix) / "bin" / ("python%d.%d-config" % sys.version_info[:2])
    if not shutil.which("cc") or not config.exists():
        pytest.skip("no C compiler or python-config to build an embedding program")
    flags = subprocess.run([str(config), "--cflags", "--ldflags", "--embed"], capture_output=True, text=True,
                           check=True).stdout.split()
    (tmp_path / "embed.c").write_text(EMBEDDING)
    subprocess.run(["cc", str(tmp_path / "embed.c"), "-o", str(tmp_path / "embed"), *flags], check=True)
    site = os.path.dirname(os.path.dirname(importlib.import_module("zelmar").__file__))
    result = subprocess.run([str(tmp_path / "embed"), f"""
import sys
sys.path.insert(0, {site!r})
try:
    import zelmar.external.{short} as module
    print("loaded", module.{cls}.__name__)
except ImportError as e:
    print("ImportError", e)
"""], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [
        f"loaded {cls}",
        f"ImportError Module 'zelmar.external.{short}' cannot be loaded again in this process: the interpreter it "
        "was loaded into has been finalized.",
    ]
