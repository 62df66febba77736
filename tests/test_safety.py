"""Whatever Python code does around a call: no crash, and the answer Python gives. Each crash
shape runs in a child interpreter; each change made after warm calls is compared with what the
same step gives when Python itself takes it."""
import base64
import re
import sys
import textwrap
import threading
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

def tag(cls):  # tp_version_tag: 48 pointer-sized fields into the type object, 3.10 to 3.13
    return ctypes.c_uint.from_address(id(cls) + 48 * ctypes.sizeof(ctypes.c_void_p)).value

def reuse(cls, remembered):
    # 3.10 restarts its count of tags here: new classes take tags up to the one cls had, then
    # a lookup on cls (changed since, so without a valid tag) gets that very tag again.
    gc.collect()
    sys._clear_type_cache()
    for _ in range(100_000):
        C = type("C", (), {"probe": 1})
        C.probe
        if tag(C) + 1 >= remembered:
            break
    getattr(cls, "not_an_attribute", None)
"""

CRASHES = {
    "type tags reused": ("""
        api, File = brimvale._DataManagementAPI, brimvale.BrimvaleFile
        Context = zelmar.core._Context
        print(api.get_hubs(access_token="t")["data"])
        remembered = tag(Context)
        Context.session_with_retries = Session("second")
        reuse(Context, remembered)
        print(api.get_hubs(access_token="t")["data"])

        print(File(URL).get_hub_id("t"))
        remembered = tag(api)
        api.get_hubs = classmethod(lambda cls, access_token: {"data": [{"id": "replaced"}]})
        reuse(api, remembered)
        print(File(URL).get_hub_id("t"))

        remembered = tag(File)
        File.__init__ = lambda self, url: setattr(self, "_url", url.replace("I", "by-init"))
        reuse(File, remembered)
        print(File(URL).urn)

        remembered = tag(File)
        File._url = property(lambda self: URL.replace("I", "by-descriptor"), lambda self, value: None)
        reuse(File, remembered)
        print(File(URL).urn)
    """, ["[{'id': 'first'}]", "[{'id': 'second'}]", "second", "replaced", "by-init", "by-descriptor"]),
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


def session_gains_get(b, session, mp, reassign):
    class Session(RecordingSession):
        pass

    other = RecordingSession().add(ok({"data": []}))
    installed = Session().add(*[ok({"data": []})] * 3)
    mp.setattr(zelmar.core._Context, "session_with_retries", installed)
    warm(lambda: b._DataManagementAPI.get_hubs(access_token="t"))
    if reassign:
        installed.__class__ = type("WithGet", (RecordingSession,), {"__get__": lambda self, obj, cls: other})
    else:
        mp.setattr(Session, "__get__", lambda self, obj, cls: other, raising=False)
    b._DataManagementAPI.get_hubs(access_token="t")
    return len(other.requests), 1 if zelmar.core._Context.session_with_retries is other else 0


def base_url_gains_get(b, session, mp):
    class Base(str):
        pass

    api = b._DataManagementAPI
    mp.setattr(api, "DATA_BASE_URL", Base("http://plain"))
    session.add(*[ok({})] * 4)
    warm(lambda: api.get_item_tip(project_id="P", item_id="I", access_token="t"))
    mp.setattr(Base, "__get__", lambda self, obj, cls: "http://through-get", raising=False)
    api.get_item_tip(project_id="P", item_id="I", access_token="t")
    return session.urls[-1].split("/projects/")[0], api.DATA_BASE_URL


def slot_gains_get_and_set(b, session, mp):
    class Slot:
        pass

    class Handle(b.BrimvaleFile):
        _url = Slot()

    warm(lambda: Handle(URL).project_id)
    stored = []
    mp.setattr(Slot, "__get__", lambda self, obj, cls: "https://x/projects/FROM-GET/items/I", raising=False)
    mp.setattr(Slot, "__set__", lambda self, obj, value: stored.append(value), raising=False)
    handle = Handle(URL)
    return (stored, handle.project_id, "_url" in vars(handle)), ([URL], "FROM-GET", False)


def library_function_changed(attribute, value, url):
    def row(b, session, mp):
        api = b._DataManagementAPI
        warm(lambda: api.extract_item_id_from_url(url))
        mp.setattr(re.search, attribute, value)
        match = re.search("/items/([^/?]+)", url)
        return api.extract_item_id_from_url(url), match.group(1) if match else None
    return row


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


def buffer_changed_while_encoded(b, session, mp):
    from zelmar.external.dunmere import DunmereAnalysis

    size = 16 << 20
    buffer, stop = bytearray(size), threading.Event()
    uniform = (base64.b64encode(bytes(size)).decode(), base64.b64encode(b"\xff" * size).decode())

    class Source:
        def getvalue_binary(self):
            return buffer

    def flip():
        while not stop.is_set():
            buffer[:] = bytes(len(buffer)) if buffer[0] else b"\xff" * len(buffer)

    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        bodies = [DunmereAnalysis(Source())._generate_job_content().body for _ in range(4)]
    finally:
        stop.set()
        flipper.join()
    # b64encode holds the lock: each encoding sees the buffer as one flip left it
    return [body in uniform for body in bodies], [True] * 4


def fresh_instance_dicts(b, session, mp):
    # The same classes, their instances given their attributes by Python's own setattr.
    def by_python(cls, **attributes):
        instance = object.__new__(cls)
        for name, value in attributes.items():
            setattr(instance, name, value)
        return instance

    session.add(*[ok({"data": {"id": "v"}})] * 3)
    module = [b.BrimvaleFile(URL) for _ in range(3)]
    module += [b.BrimvaleFile(URL).get_latest_version("t") for _ in range(3)]
    python = [by_python(b.BrimvaleFile, _url=URL, _latest_version=None, _hub=None, _aec_data_model_element_group=None)
              for _ in range(3)]
    python += [by_python(b.BrimvaleFileVersion, _access_token="t", _data={"id": "v"}) for _ in range(3)]
    return [sys.getsizeof(vars(instance)) for instance in module], [sys.getsizeof(vars(i)) for i in python]


CHANGES = {
    "session whose type gains __get__": lambda b, s, mp: session_gains_get(b, s, mp, reassign=False),
    "session whose __class__ is reassigned": lambda b, s, mp: session_gains_get(b, s, mp, reassign=True),
    "base URL whose type gains __get__": base_url_gains_get,
    "subclass attribute whose class gains __get__ and __set__": slot_gains_get_and_set,
    "re.search.__defaults__ changed": library_function_changed("__defaults__", (re.IGNORECASE,), "/ITEMS/x"),
    "re.search.__code__ changed": library_function_changed("__code__", (lambda pattern, string, flags=0: None).__code__,
                                                           "/items/x"),
    "base64.b64encode.__defaults__ changed": encoder_defaults_changed,
    "textwrap.dedent.__code__ changed": dedent_code_changed,
    "caches that are properties": caches_as_properties,
    "server-error check that raises": server_error_check_raises,
    "cursor with its own __eq__": cursor_with_own_eq,
    "buffer changed while encoded": buffer_changed_while_encoded,
    "fresh instance dicts": fresh_instance_dicts,
}


@pytest.mark.parametrize("name", CHANGES)
def test_changes_after_warm_calls_answer_as_python(brimvale, session, monkeypatch, name):
    module, python = CHANGES[name](brimvale, session, monkeypatch)
    assert module == python
