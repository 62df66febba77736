"""DunmereAnalysis: job content, error translation and result files, call by call."""
import base64
import inspect
from io import BytesIO

import pytest

import zelmar.core
import zelmar.external.external_program as external_program
from zelmar.errors import ExecutionError


@pytest.fixture(scope="module")
def dunmere():
    import zelmar.external.dunmere

    return zelmar.external.dunmere


@pytest.fixture
def calls():
    return []


class Recorder:
    """Stands in for a module-level name and records how it is called."""

    def __init__(self, calls, name, result=None):
        self.calls, self.name, self.result = calls, name, result

    def __call__(self, *args, **kwargs):
        self.calls.append((self.name, args, list(kwargs.items())))
        return self.result(*args, **kwargs) if callable(self.result) else self.result


def test_constructor(dunmere, monkeypatch, calls):
    def base_init(self, *args, **kwargs):
        calls.append((self.input_file, args, list(kwargs.items())))

    monkeypatch.setattr(external_program.ExternalProgram, "__init__", base_init)
    source = BytesIO(b"x")
    analysis = dunmere.DunmereAnalysis(input_file=source)
    assert analysis.input_file is source
    [(seen_input, args, kwargs)] = calls
    assert seen_input is source  # already set when the base constructor ran
    assert args == ("dunmere",) and kwargs == [("version", 1)] and type(kwargs[0][1]) is int


def test_constructor_failure_keeps_input_file(dunmere, monkeypatch):
    def base_init(self, *args, **kwargs):
        raise RuntimeError("base failed")

    monkeypatch.setattr(external_program.ExternalProgram, "__init__", base_init)
    analysis = dunmere.DunmereAnalysis.__new__(dunmere.DunmereAnalysis)
    with pytest.raises(RuntimeError, match="base failed"):
        analysis.__init__("input")
    assert analysis.input_file == "input"


class FileLike:
    def __init__(self, data):
        self.data = data
        self.asked = []

    def getvalue_binary(self):
        self.asked.append("getvalue_binary")
        return self.data

    def getvalue(self):  # must not be used for non-BytesIO inputs
        self.asked.append("getvalue")
        return "wrong"


class BytesIOChild(BytesIO):
    pass


def at_end(data):
    stream = BytesIO(data)
    stream.seek(0, 2)
    return stream


@pytest.mark.parametrize(
    "make_input, body",
    [
        (lambda: BytesIO(b"abc"), "YWJj"),
        (lambda: BytesIO(b""), ""),
        (lambda: at_end(b"abcd"), "YWJjZA=="),
        (lambda: BytesIOChild(b"ab"), "YWI="),
        (lambda: zelmar.core.File.from_data(b"\x00\xff\xfe"), "AP/+"),
        (lambda: FileLike(bytearray(b"xyz")), "eHl6"),
        (lambda: FileLike(memoryview(b"hello world")), "aGVsbG8gd29ybGQ="),
    ],
)
def test_job_content(dunmere, make_input, body):
    job = dunmere.DunmereAnalysis(make_input())._generate_job_content()
    assert isinstance(job, external_program._JobContent)
    assert job.body == body and type(job.body) is str


def test_job_content_call_shapes(dunmere, monkeypatch, calls):
    monkeypatch.setattr(dunmere, "_JobContent", Recorder(calls, "_JobContent", "job"))
    source = FileLike(b"abc")
    assert dunmere.DunmereAnalysis(source)._generate_job_content() == "job"
    assert calls == [("_JobContent", (), [("body", "YWJj")])]
    assert source.asked == ["getvalue_binary"]


@pytest.mark.parametrize(
    "input_file, error",
    [(object(), AttributeError), (FileLike("text"), TypeError), (FileLike(memoryview(b"abcdef")[::2]), Exception)],
)
def test_job_content_errors_are_the_librarys(dunmere, input_file, error):
    with pytest.raises(error) as info:
        dunmere.DunmereAnalysis(input_file)._generate_job_content()
    if isinstance(input_file, FileLike):
        with pytest.raises(type(info.value)) as expected:
            base64.b64encode(input_file.data)
        assert str(info.value) == str(expected.value)


def test_replaced_base64_is_called_as_written(dunmere, monkeypatch, calls):
    class Encoded:
        def decode(self, *args, **kwargs):
            calls.append(("decode", args, list(kwargs.items())))
            return "decoded"

    class FakeBase64:
        b64encode = Recorder(calls, "b64encode", Encoded())

    monkeypatch.setattr(dunmere, "base64", FakeBase64)
    assert dunmere.DunmereAnalysis(BytesIO(b"abc"))._generate_job_content().body == "decoded"
    assert calls == [("b64encode", (b"abc",), []), ("decode", ("utf-8",), [])]


def test_replaced_b64encode_on_the_library_is_called(dunmere, monkeypatch, calls):
    monkeypatch.setattr(base64, "b64encode", Recorder(calls, "b64encode", b"QQ=="))
    assert dunmere.DunmereAnalysis(BytesIO(b"A"))._generate_job_content().body == "QQ=="
    assert calls == [("b64encode", (b"A",), [])]


class Unhashable:
    __hash__ = None


def python_answer(call):
    """The exception plain Python raises for the same construct."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - compared, not handled
        return e
    raise AssertionError("no exception")


@pytest.mark.parametrize(
    "mapping, message, outcome",
    [
        ({}, "anything", None),
        ({"m": ("text", ValueError)}, "m", ValueError("text")),
        ({"m": ("text", None)}, "m", None),
        ({"m": ("text", ValueError)}, "M", None),
        ({"m": ("text", ValueError)}, " m ", None),
        ({"m": ("a", "b", "c")}, "m", ValueError("too many values to unpack (expected 2)")),
        ({"m": ("a",)}, "m", ValueError("need more than 1 value to unpack")),
        ({"m": []}, "m", ValueError("need more than 0 values to unpack")),
        ({"m": iter(["a", KeyError, "x"])}, "m", ValueError("too many values to unpack (expected 2)")),
        ({"m": ["t", KeyError]}, "m", KeyError("t")),
        ({"m": ("t", lambda text: 42)}, "m", TypeError("raise: exception class must be a subclass of BaseException")),
        ({"m": ("t", lambda text: RuntimeError)}, "m", RuntimeError()),
        ({}, Unhashable(), python_answer(lambda: {}.get(Unhashable(), ("", None)))),  # worded by each Python
    ],
)
def test_handle_execution_error(dunmere, monkeypatch, mapping, message, outcome):
    monkeypatch.setattr(dunmere, "_dseries_exception_map", mapping)
    analysis = dunmere.DunmereAnalysis(BytesIO())
    if outcome is None:
        assert analysis._handle_execution_error(message) is None
        return
    with pytest.raises(type(outcome)) as info:
        analysis._handle_execution_error(message)
    assert type(info.value) is type(outcome)
    assert info.value.args == outcome.args
    assert info.value.__cause__ is None


def test_error_map_lookup_shape(dunmere, monkeypatch, calls):
    class Map:
        get = Recorder(calls, "get", ("", None))

    monkeypatch.setattr(dunmere, "_dseries_exception_map", Map())
    dunmere.DunmereAnalysis(BytesIO())._handle_execution_error("msg")
    assert calls == [("get", ("msg", ("", None)), [])]


@pytest.fixture
def results(dunmere, monkeypatch, calls):
    """Recording stand-ins for the result helpers; set .body to what the file lookup finds."""

    class State:
        body = None

    state = State()
    monkeypatch.setattr(dunmere, "_get_dseries_file_body", Recorder(calls, "file_body", lambda *a: state.body))
    monkeypatch.setattr(dunmere, "cast", Recorder(calls, "cast", lambda t, v: v))
    monkeypatch.setattr(dunmere.DunmereAnalysis, "_get_result_content", lambda self: {"result": 1}, raising=False)
    return state


@pytest.mark.parametrize(
    "args, kwargs, extension",
    [((), {}, ".sto"), ((".err",), {}, ".err"), ((), {"extension": ".error.log"}, ".error.log"), ((".STO",), {}, ".STO")],
)
def test_get_output_file_extension(dunmere, results, calls, args, kwargs, extension):
    results.body = body = BytesIO(b"out")
    assert dunmere.DunmereAnalysis(BytesIO()).get_output_file(*args, **kwargs) is body
    assert calls == [("cast", (dict, {"result": 1}), []), ("file_body", ({"result": 1}, extension), [])]


@pytest.mark.parametrize("body", [None, b"", 0])
@pytest.mark.parametrize("as_file", [False, True])
def test_get_output_file_without_result(dunmere, results, monkeypatch, calls, body, as_file):
    results.body = body
    monkeypatch.setattr(dunmere, "File", Recorder(calls, "File"))
    assert dunmere.DunmereAnalysis(BytesIO()).get_output_file(as_file=as_file) is body
    assert [c[0] for c in calls] == ["cast", "file_body"]


@pytest.mark.parametrize("as_file", [True, 1, "yes"])
def test_get_output_file_as_file(dunmere, results, as_file):
    results.body = BytesIO(b"sto content")
    file = dunmere.DunmereAnalysis(BytesIO()).get_output_file(as_file=as_file)
    assert isinstance(file, zelmar.core.File) and file.getvalue_binary() == b"sto content"


def test_get_output_file_as_file_is_keyword_only(dunmere, results):
    with pytest.raises(TypeError) as info:
        dunmere.DunmereAnalysis(BytesIO()).get_output_file(".sto", True)
    assert str(info.value) == "get_output_file() takes at most 2 positional arguments (3 given)"


@pytest.mark.parametrize("name", ["_JobContent", "base64", "BytesIO", "_dseries_exception_map", "cast",
                                  "_get_dseries_file_body", "File"])
def test_module_names_are_looked_up_at_every_call(dunmere, monkeypatch, name):
    monkeypatch.delattr(dunmere, name)
    analysis = dunmere.DunmereAnalysis(BytesIO(b"x"))
    analysis._result_content = {"files": [{"name": "a.sto", "content": "eA=="}]}
    with pytest.raises(NameError) as info:
        analysis._generate_job_content()
        analysis._handle_execution_error("not in the map")
        analysis.get_output_file(as_file=True)
    assert str(info.value) == f"name '{name}' is not defined"


# ---- the whole run, through the stand-in SDK's local worker ----

def test_run_and_results(dunmere):
    analysis = dunmere.DunmereAnalysis(input_file=BytesIO(b"Dunmere input file\nslope 1\n"))
    analysis.execute(timeout=10)
    sto = analysis.get_output_file()
    assert isinstance(sto, BytesIO)
    assert b"no real stability analysis" in sto.getvalue()
    as_file = analysis.get_output_file(as_file=True)
    assert isinstance(as_file, zelmar.core.File) and as_file.getvalue_binary() == sto.getvalue()
    assert analysis.get_output_file(".err") is None


def test_run_with_an_sdk_file_input_and_bad_header(dunmere):
    analysis = dunmere.DunmereAnalysis(input_file=zelmar.core.File.from_data("not a header\n"))
    analysis.execute(timeout=10)
    assert b"does not start with" in analysis.get_output_file(".err").getvalue()


@pytest.mark.parametrize(
    "content, error, message",
    [
        (b"", ValueError, "The .sti input file is empty"),
        (b"#worker-message: ERROR: no licence available\n", ExecutionError,
         "No Dunmere licence is available on the worker, try again later"),
        (b"#worker-message: WARNING: calculation finished with warnings\n", ExecutionError,
         "WARNING: calculation finished with warnings"),
        (b"#worker-message: something unmapped\n", ExecutionError, "something unmapped"),
    ],
)
def test_worker_errors(dunmere, content, error, message):
    analysis = dunmere.DunmereAnalysis(BytesIO(content))
    with pytest.raises(error) as info:
        analysis.execute(timeout=10)
    assert type(info.value) is error and str(info.value) == message


def test_results_before_execute_are_the_sdks_business(dunmere):
    with pytest.raises(ExecutionError, match="call execute"):
        dunmere.DunmereAnalysis(BytesIO(b"x")).get_output_file()


def test_signatures(dunmere):
    cls = dunmere.DunmereAnalysis
    assert str(inspect.signature(cls)) == "(input_file: 'Union[BytesIO, File]')"
    assert str(inspect.signature(cls.get_output_file)) == (
        "(self, extension: 'str' = '.sto', *, as_file: 'bool' = False) -> 'Optional[Union[BytesIO, File]]'")
