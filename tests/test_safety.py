"""Whatever Python code does around a call: no crash, and the answer Python gives. Each crash
shape runs in a child interpreter; each change made after warm calls is compared with what the
same step gives when Python itself takes it."""
import base64
import binascii
import re
import sys
import textwrap
import types
from io import BytesIO

import pytest
from fakes import RecordingSession, ok, status
from support import run_python

import zelmar.core
from zelmar._vendor.requests.exceptions import HTTPError

URL = "https://x/projects/P/items/I"

CHILD = """
import ctypes, gc, sys, threading, time
import zelmar.core
from zelmar.external import brimvale, dunmere

class Response:
    def __init__(self, body): self.body = body
    def raise_for_status(self): pass
    def json(self): return self.body

class Session:
    def __init__(self, name, delay=0): self.name, self.delay = name, delay
    def get(self, url, headers, timeout):
        time.sleep(self.delay)
        return Response({"data": [{"id": self.name}], "url": "https://download.example/" + self.name})

zelmar.core._Context.session_with_retries = Session("first")

"""

CRASHES = {
    "daemon threads requesting at exit": ("""
        zelmar.core._Context.session_with_retries = Session("slow", delay=0.001)
        for _ in range(4):
            threading.Thread(target=lambda: [brimvale._DataManagementAPI.get_hubs(access_token="t")
                                             for _ in iter(int, 1)], daemon=True).start()
        time.sleep(0.05)
        print("exiting")
    """, ["exiting"]),
    "daemon threads encoding at exit": ("""
        from io import BytesIO
        job = dunmere.DunmereAnalysis(BytesIO(b"x" * (8 << 20)))
        for _ in range(2):
            threading.Thread(target=lambda: [job._generate_job_content() for _ in iter(int, 1)], daemon=True).start()
        time.sleep(0.1)
        print("exiting")
    """, ["exiting"]),
    "class dropped by a key's __eq__ during a lookup": ("""
        version = brimvale.BrimvaleFileVersion("t", {"relationships": {"storage": {"meta": {"link": {"href":
            "https://api.example/oss/v2/buckets/B/objects/O"}}}}})
        print(version.get_file().url)
        armed = False
        class Key:
            def __hash__(self): return hash("re")
            def __eq__(self, other):
                global armed
                if armed:
                    armed = False
                    del vars(brimvale)["_DataManagementAPI"]
                    gc.collect()
                return False
        module_dict = vars(brimvale)
        re_module = module_dict.pop("re")
        module_dict[Key()] = 1  # met before "re" by a lookup of "re"
        module_dict["re"] = re_module
        armed = True
        try:
            version.get_file()
        except NameError as e:
            print(e)
    """, ["https://download.example/first", "name '_DataManagementAPI' is not defined"]),
    "instance dict replaced by a key's __eq__ during a lookup": ("""
        handle = brimvale.BrimvaleFile(URL.replace("I", "OLD"))
        armed = False
        class Key:
            def __hash__(self): return hash("_url")
            def __eq__(self, other):
                if armed:
                    handle.__dict__ = {"_url": URL.replace("I", "NEW")}
                    gc.collect()
                return False
        attributes = vars(handle)
        url = attributes.pop("_url")
        attributes[Key()] = 1
        attributes["_url"] = url
        del attributes
        armed = True
        print(handle.urn)  # the lookup goes on in the dict it started in, as Python's does
        armed = False
        print(handle.urn)
    """, ["OLD", "NEW"]),
}


@pytest.mark.parametrize("name", CRASHES)
def test_crash_shapes_end_with_pythons_answer(name):
    code, expected = CRASHES[name]
    result = run_python(CHILD + f"URL = {URL!r}\n" + textwrap.dedent(code))
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.splitlines() == expected


# ---- changes after warm calls: each row gives (the module's answer, Python's answer) ----

def warm(call, times=3):
    for _ in range(times):
        call()


def library_function_changed(attribute, value, url):
    def row(b, session, mp):
        api = b._DataManagementAPI
        warm(lambda: api.extract_item_id_from_url(url))
        mp.setattr(re.search, attribute, value)
        match = re.search("/items/([^/?]+)", url)
        return api.extract_item_id_from_url(url), match.group(1) if match else None
    return row


def extract_row(b, mp, url):
    # getattr, as the language looks re.search up: from 3.14 a warm `re.search` in this code
    # is specialized on re's dict alone, and misses a property of a swapped module class.
    match = getattr(re, "search")("/items/([^/?]+)", url)
    return b._DataManagementAPI.extract_item_id_from_url(url), match.group(1) if match else None


def extract_row_items(b, mp):
    return extract_row(b, mp, "/items/x")


def document_row(b, mp):
    sources, session = [], RecordingSession().add(ok({}), ok({}))
    mp.setattr(zelmar.core._Context, "session_with_retries", session)
    with mp.context() as m:  # the document as written, as the module hands it to dedent
        m.setattr(b, "dedent", lambda text: sources.append(text) or text)
        b._AECDataModelAPI.get_hubs(region="R", access_token="t")
    b._AECDataModelAPI.get_hubs(region="R", access_token="t")
    return session.requests[-1].kw("json")["query"], textwrap.dedent(sources[0]).strip()


def encoder_row(b, mp):
    from zelmar.external.dunmere import DunmereAnalysis

    return DunmereAnalysis(BytesIO(b"abc"))._generate_job_content().body, base64.b64encode(b"abc").decode()


def library_internal_replaced(owner, name, value, row):
    """What a library function reads from its own module, replaced after warm calls (where this
    Python's function reads it at all: raising=False)."""
    def change(b, session, mp):
        session.add(*[ok({})] * 3)
        warm(lambda: row(b, mp))
        mp.setattr(owner, name, value, raising=False)
        return row(b, mp)
    return change


def module_class_swapped(module, name, value, row):
    """A module's class swapped for a ModuleType subclass whose property shadows an attribute:
    no dict changes, yet what the library reads changes."""
    def change(b, session, mp):
        session.add(*[ok({})] * 3)
        warm(lambda: row(b, mp))
        mp.setattr(module, "__class__", type("Swapped", (types.ModuleType,), {name: property(lambda self: value)}))
        return row(b, mp)
    return change


def kwdefaults_changed_in_place(function, key, value, row):
    """A keyword default changed inside the function's own __kwdefaults__ dict (where this
    Python's function has it)."""
    def change(b, session, mp):
        session.add(*[ok({})] * 3)
        warm(lambda: row(b, mp))
        if key in (function.__kwdefaults__ or {}):
            mp.setitem(function.__kwdefaults__, key, value)
        return row(b, mp)
    return change


class Poisoned(dict):
    """re's cache of compiled patterns, answering every lookup with one other pattern."""
    pattern = re.compile("/ITEMS/([^/?]+)")

    def __getitem__(self, key):
        return self.pattern

    get = lambda self, key, default=None: self.pattern  # noqa: E731


def re_cache_poisoned(b, session, mp):
    warm(lambda: extract_row_items(b, mp))
    for cache in ("_cache", "_cache2"):
        mp.setattr(re, cache, Poisoned(), raising=False)
    return extract_row(b, mp, "/ITEMS/x")


def encoder_defaults_changed(b, session, mp):
    from zelmar.external.dunmere import DunmereAnalysis

    job = DunmereAnalysis(BytesIO(bytes([0xFB, 0xFF, 0xBF])))
    warm(job._generate_job_content)
    mp.setattr(base64.b64encode, "__defaults__", (b"-_",))
    return job._generate_job_content().body, base64.b64encode(bytes([0xFB, 0xFF, 0xBF])).decode()


def dedent_code_changed(b, session, mp):
    session.add(*[ok({})] * 4)
    warm(lambda: b._AECDataModelAPI.get_hubs(region="R", access_token="t"))
    mp.setattr(textwrap.dedent, "__code__", (lambda text: " changed ").__code__)
    b._AECDataModelAPI.get_hubs(region="R", access_token="t")
    return session.requests[-1].kw("json")["query"], textwrap.dedent("query").strip()


def caches_as_properties(b, session, mp):
    reads = []

    def cache(name, value):
        return property(lambda self: reads.append(name) or value, lambda self, new: None)

    Handle = type("Handle", (b.BrimvaleFile,), {"_latest_version": cache("version", "v"),
                                                "_hub": cache("hub", {"id": "H"}),
                                                "_aec_data_model_element_group": cache("group", {"id": "G"})})
    handle = Handle(URL)
    warm(lambda: (handle.get_latest_version("t"), handle.get_hub_id("t"),
                  handle.get_aec_data_model_element_group_id("t")))
    reads.clear()
    handle.get_latest_version("t"), handle.get_hub_id("t"), handle.get_aec_data_model_element_group_id("t")
    module = list(reads)
    reads.clear()
    for name in ["_latest_version", "_hub", "_aec_data_model_element_group"]:
        if getattr(handle, name):  # `if self._x: return self._x`
            getattr(handle, name)
    return module, list(reads)


class Unreadable:
    def raise_for_status(self):
        raise HTTPError("refused", response=self)

    @property
    def status_code(self):
        raise RuntimeError("status unreadable")


def server_error_check_raises(b, session, mp):
    hubs = ok({"data": [{"id": "H-1"}, {"id": "H-2"}]})
    session.add(hubs, status(500), HTTPError("no response"), hubs, status(503), Unreadable())
    warm(lambda: pytest.raises(ValueError, b.BrimvaleFile(URL).get_hub_id, "t"), times=1)
    try:
        b.BrimvaleFile(URL).get_hub_id("t")
    except Exception as e:  # noqa: BLE001 - compared, not handled
        module = (type(e), str(e), type(e.__context__))
    else:
        module = None
    # getattr(getattr(error, "response", None), "status_code", None) lets only AttributeError pass
    return module, (RuntimeError, "status unreadable", HTTPError)


def cursor_with_own_eq(b, session, mp):
    class Cursor(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return other == "" or str.__eq__(self, other)

    hub = ok({"data": [{"id": "H", "attributes": {"region": "R"}}]})
    page = ok({"data": {"hubs": {"results": [{"id": "A"}], "pagination": {"cursor": Cursor("more")}}}})
    session.add(hub, ok({}), page, ok({"data": {"elementGroupsByHub": {"results": [{"id": "G"}]}}}))
    answer = b.BrimvaleFile(URL).get_aec_data_model_element_group_id("t")
    return (answer, len(session.requests)), ("G", 4 if Cursor("more") == "" else 5)


def outcome(call):
    try:
        return ("value", call())
    except Exception as e:  # noqa: BLE001 - compared, not handled
        return (type(e), str(e), getattr(e, "name", None), type(e.__context__), type(e.__cause__))


def python_twin(source, namespace):
    """A function written in Python, run with the module global changed the same way."""
    exec(textwrap.dedent(source), namespace)
    return namespace["twin"]


def http_error_changed(value):
    """The module's HTTPError as an except clause meets it: not a class, or deleted."""
    def row(b, session, mp):
        session.add(status(404))
        if value is DELETED:
            mp.delattr(b, "HTTPError")
        else:
            mp.setattr(b, "HTTPError", value)
        namespace = {} if value is DELETED else {"HTTPError": value}
        twin = python_twin("""
            def twin(error):
                try:
                    raise error
                except (ValueError, HTTPError, KeyError) as e:
                    raise ValueError("Request failed") from e
        """, namespace)
        module = outcome(lambda: b.BrimvaleFile(URL).get_latest_version("t"))
        return module[:4], outcome(lambda: twin(HTTPError("404")))[:4]
    return row


DELETED = object()


def super_replaced(b, session, mp):
    import zelmar.external.dunmere as dunmere

    calls = []
    fake = lambda *args: calls.append(len(args)) or types.SimpleNamespace(__init__=lambda *a, **k: calls.append((a, k)))
    mp.setattr(dunmere, "super", fake, raising=False)
    dunmere.DunmereAnalysis(BytesIO(b"x"))
    module, calls[:] = list(calls), []
    python_twin("""
        class Twin:
            def __init__(self):
                super().__init__("dunmere", version=1)
        twin = Twin
    """, {"super": fake})()
    return module, calls


def super_subclassed(b, session, mp):
    import zelmar.external.dunmere as dunmere

    seen = []
    record = lambda self, *a, **k: seen.append((a, k))  # noqa: E731
    mp.setattr(dunmere, "super", type("Super", (super,), {}), raising=False)
    mp.setattr(dunmere.ExternalProgram, "__init__", record)
    dunmere.DunmereAnalysis(BytesIO(b"x"))
    python_twin("""
        class Twin(type("Base", (), {"__init__": record})):
            def __init__(self):
                super().__init__("dunmere", version=1)
        twin = Twin()
    """, {"super": dunmere.super, "record": record})
    return seen[:1], seen[1:]


def missing_global_names_itself(b, session, mp):
    mp.delattr(b, "_DataManagementAPI")
    twin = python_twin("def twin(): return _DataManagementAPI", {})
    return outcome(lambda: b.BrimvaleFile(URL).urn), outcome(twin)


def project_read_before_the_probe_is_looked_up(b, session, mp):
    session.add(ok({"data": [{"id": "H-1"}]}))
    mp.delattr(b._DataManagementAPI, "get_project")
    module = outcome(lambda: b.BrimvaleFile("https://x/items/I")._get_hub("t"))
    # project_id = self.project_id; _DataManagementAPI.get_project(...): the read fails first
    return module, (ValueError, "Request to get project from Brimvale Platform Services failed", None, ValueError,
                    ValueError)


CHANGES = {
    "re.search.__defaults__ changed": library_function_changed("__defaults__", (re.IGNORECASE,), "/ITEMS/x"),
    "re.search.__code__ changed": library_function_changed("__code__", (lambda pattern, string, flags=0: None).__code__,
                                                           "/items/x"),
    "base64.b64encode.__defaults__ changed": encoder_defaults_changed,
    "textwrap.dedent.__code__ changed": dedent_code_changed,
    "caches that are properties": caches_as_properties,
    "server-error check that raises": server_error_check_raises,
    "cursor with its own __eq__": cursor_with_own_eq,
    "re._compile replaced": library_internal_replaced(re, "_compile", (lambda real: lambda p, f: real(p, f | re.I))(re._compile),
                                                      lambda b, mp: extract_row(b, mp, "/ITEMS/x")),
    "textwrap margin pattern replaced": library_internal_replaced(
        textwrap, "_whitespace_only_re", re.compile("^[ \t]*query.*$", re.M), lambda b, mp: document_row(b, mp)),
    "textwrap's re replaced": library_internal_replaced(
        textwrap, "re", types.SimpleNamespace(sub=lambda *a, **k: "via textwrap.re"), lambda b, mp: document_row(b, mp)),
    "base64's binascii replaced": library_internal_replaced(
        base64, "binascii", types.SimpleNamespace(b2a_base64=lambda s, **options: b"via binascii"), encoder_row),
    "re's class swapped": module_class_swapped(re, "search", lambda p, s, flags=0: None, extract_row_items),
    "textwrap's re's class swapped": module_class_swapped(re, "sub", lambda *a, **k: "via class", document_row),
    "binascii's class swapped": module_class_swapped(binascii, "b2a_base64", lambda s, **o: b"via class", encoder_row),
    "re.sub's count changed in place": kwdefaults_changed_in_place(re.sub, "count", 1, document_row),
    "b64encode's wrapcol changed in place": kwdefaults_changed_in_place(base64.b64encode, "wrapcol", 2, encoder_row),
    "re's cache poisoned": re_cache_poisoned,
    "HTTPError None": http_error_changed(None),
    "HTTPError a string": http_error_changed("HTTPError"),
    "HTTPError a nested tuple": http_error_changed((KeyError, (HTTPError,))),
    "HTTPError a tuple of classes": http_error_changed((KeyError, HTTPError)),
    "HTTPError deleted": http_error_changed(DELETED),
    "super replaced": super_replaced,
    "super subclassed": super_subclassed,
    "missing global named on its NameError": missing_global_names_itself,
    "project read before the probe is looked up": project_read_before_the_probe_is_looked_up,
    "binascii.b2a_base64 replaced": library_internal_replaced(
        binascii, "b2a_base64", lambda s, **options: b"via b2a_base64", encoder_row),
}


@pytest.mark.parametrize("name", CHANGES)
def test_changes_after_warm_calls_answer_as_python(brimvale, session, monkeypatch, name):
    module, python = CHANGES[name](brimvale, session, monkeypatch)
    assert module == python
