"""Argument binding of the module's functions: which call fails, and with which words."""
import ctypes

import pytest


@pytest.fixture
def api(brimvale):
    return brimvale


def init(b):  # (self, url)
    return b.BrimvaleFile.__init__


def extract(b):  # (*, url, element_category)
    return b._DataManagementAPI._extract_element_id_from_url


def groups(b):  # (cls, *, hub_id, region, access_token, file_urn=None, limit=None, cursor=None)
    return b._AECDataModelAPI.get_element_groups_by_hub


def send(b):  # (cls, query, region, access_token, variables=None)
    return b._AECDataModelAPI._send_request


def paginate(b):  # (*, limit=None, cursor=None)
    return b._AECDataModelAPI._get_pagination_variable


def get_file(b):  # (self)
    return b.BrimvaleFileVersion.get_file


def project(b):  # (cls, url)
    return b._DataManagementAPI.extract_project_id_from_url


TAKES = "positional argument"
CASES = [
    # function, args, kwargs, message
    (init, (), {}, "__init__() takes exactly 2 positional arguments (0 given)"),
    (init, ("o",), {}, "__init__() takes exactly 2 positional arguments (1 given)"),
    (init, ("o", 1, 2), {}, "__init__() takes exactly 2 positional arguments (3 given)"),
    (init, ("o",), {"x": 1}, "__init__() takes exactly 2 positional arguments (1 given)"),
    (init, ("o", 1), {"url": 2}, "__init__() got multiple values for keyword argument 'url'"),
    (init, ("o",), {"url": 2, "x": 3}, "__init__() got an unexpected keyword argument 'x'"),
    (init, (), {"url": 2}, "__init__() takes exactly 2 positional arguments (0 given)"),
    (init, (), {"self": "o"}, "__init__() takes exactly 2 positional arguments (1 given)"),
    (init, (), {"self": "o", "x": 1}, "__init__() takes exactly 2 positional arguments (1 given)"),
    (extract, (1,), {}, "_extract_element_id_from_url() takes exactly 0 positional arguments (1 given)"),
    (extract, (1,), {"url": 2}, "_extract_element_id_from_url() takes exactly 0 positional arguments (1 given)"),
    (extract, (), {}, "_extract_element_id_from_url() needs keyword-only argument url"),
    (extract, (), {"url": 1}, "_extract_element_id_from_url() needs keyword-only argument element_category"),
    (extract, (), {"element_category": 1}, "_extract_element_id_from_url() needs keyword-only argument url"),
    (extract, (), {"url": 1, "x": 3}, "_extract_element_id_from_url() needs keyword-only argument element_category"),
    (extract, (), {"url": 1, "element_category": 2, "u2": 3, "x": 4},
     "_extract_element_id_from_url() got an unexpected keyword argument 'u2'"),
    (groups, (), {}, "get_element_groups_by_hub() needs keyword-only argument hub_id"),
    (groups, (1,), {}, "get_element_groups_by_hub() takes exactly 1 positional argument (2 given)"),
    (groups, (), {"hub_id": 1, "region": 2}, "get_element_groups_by_hub() needs keyword-only argument access_token"),
    (groups, (), {"hub_id": 1, "bogus": 4}, "get_element_groups_by_hub() needs keyword-only argument region"),
    (groups, (), {"hub_id": 1, "region": 2, "access_token": 3, "bogus": 4},
     "get_element_groups_by_hub() got an unexpected keyword argument 'bogus'"),
    (groups, (), {"hub_id": 1, "region": 2, "access_token": 3, "cls": 1},
     "get_element_groups_by_hub() got multiple values for keyword argument 'cls'"),
    (send, (), {}, "_send_request() takes at least 4 positional arguments (1 given)"),
    (send, (1, 2), {}, "_send_request() takes at least 4 positional arguments (3 given)"),
    (send, (1, 2, 3, 4, 5), {}, "_send_request() takes at most 5 positional arguments (6 given)"),
    (send, (1, 2), {"query": 3}, "_send_request() takes at least 4 positional arguments (3 given)"),
    (send, (1,), {"access_token": 2}, "_send_request() takes at least 4 positional arguments (2 given)"),
    (send, (1, 2, 3, 4), {"variables": 3}, "_send_request() got multiple values for keyword argument 'variables'"),
    (send, (1, 2, 3), {"bogus": 1, "query": 2}, "_send_request() got an unexpected keyword argument 'bogus'"),
    (send, (1, 2, 3), {"query": 2, "bogus": 1}, "_send_request() got multiple values for keyword argument 'query'"),
    (send, (1,), {"region": 2, "access_token": 3, "cls": 4},
     "_send_request() got multiple values for keyword argument 'cls'"),
    (paginate, (1,), {}, "_get_pagination_variable() takes exactly 0 positional arguments (1 given)"),
    (paginate, (), {"x": 1}, "_get_pagination_variable() got an unexpected keyword argument 'x'"),
    (paginate, (), {"limit": 1, "x": 1}, "_get_pagination_variable() got an unexpected keyword argument 'x'"),
    (get_file, (), {}, "get_file() takes exactly 1 positional argument (0 given)"),
    (get_file, (1, 2), {}, "get_file() takes exactly 1 positional argument (2 given)"),
    (get_file, (1,), {"x": 1}, "get_file() got an unexpected keyword argument 'x'"),
    (project, (), {}, "extract_project_id_from_url() takes exactly 2 positional arguments (1 given)"),
    (project, (1, 2), {}, "extract_project_id_from_url() takes exactly 2 positional arguments (3 given)"),
    (project, (), {"uri": 1}, "extract_project_id_from_url() takes exactly 2 positional arguments (1 given)"),
    (project, (1,), {"url": 1}, "extract_project_id_from_url() got multiple values for keyword argument 'url'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", CASES)
def test_wrong_calls(api, session, function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(api)(*args, **kwargs)
    assert str(info.value) == message
    assert session.requests == []


class Equal(str):
    def __new__(cls, text, equals):
        self = super().__new__(cls, text)
        self.equals = equals
        return self

    __hash__ = str.__hash__

    def __eq__(self, other):
        return other in self.equals


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda b: b._DataManagementAPI._extract_element_id_from_url(element_category="items", url="/items/A"), "A"),
        (lambda b: b._DataManagementAPI.extract_item_id_from_url(url="/items/B"), "B"),
        (lambda b: b._DataManagementAPI.__dict__["extract_item_id_from_url"].__func__(
            cls=b._DataManagementAPI, url="/items/C"), "C"),
        (lambda b: b._AECDataModelAPI._get_pagination_variable(cursor="c", limit=2), {"cursor": "c", "limit": 2}),
        (lambda b: b.BrimvaleFile.url.fget(self=b.BrimvaleFile("u")), "u"),
        # a str subclass names a parameter by its own __eq__, and binds the first it equals only
        (lambda b: b._AECDataModelAPI._get_pagination_variable(**{Equal("c", {"cursor"}): "v"}), {"cursor": "v"}),
        (lambda b: b._AECDataModelAPI._get_pagination_variable(**{Equal("any", {"limit", "cursor"}): 5}), {"limit": 5}),
    ],
)
def test_keyword_calls(api, call, expected):
    assert call(api) == expected


def extractor(b):  # (cls, url)
    return b._DataManagementAPI.__dict__["extract_item_id_from_url"].__func__


def sender(b):  # (cls, query, region, access_token, variables=None)
    return b._AECDataModelAPI.__dict__["_send_request"].__func__


# Defaults are read when a call binds, and can be reassigned, as a Python function's can:
# (function, attribute, new value or DELETE, call, what the call gives or raises)
DELETE = object()
DEFAULTS = [
    (paginate, "__kwdefaults__", {"limit": 9, "cursor": None}, lambda f, b: f(), {"limit": 9}),
    (paginate, "__kwdefaults__", {"cursor": "c"}, lambda f, b: f(),
     (TypeError, "_get_pagination_variable() needs keyword-only argument limit")),
    (paginate, "__kwdefaults__", None, lambda f, b: f(limit=1, cursor=2), {"cursor": 2, "limit": 1}),
    (paginate, "__kwdefaults__", DELETE, lambda f, b: f(),
     (TypeError, "_get_pagination_variable() needs keyword-only argument limit")),
    (paginate, "__kwdefaults__", (1,), None, (TypeError, "__kwdefaults__ must be set to a dict object")),
    (extractor, "__defaults__", ("/items/D",), lambda f, b: f(b._DataManagementAPI), "D"),
    # more defaults than parameters: the last ones fill the last parameters
    (extractor, "__defaults__", ("unused", "/items/E"), lambda f, b: f(b._DataManagementAPI), "E"),
    (sender, "__defaults__", None, lambda f, b: f(b._AECDataModelAPI, "q", "r", "t"),
     (TypeError, "_send_request() takes exactly 5 positional arguments (4 given)")),
    (sender, "__defaults__", DELETE, lambda f, b: f(b._AECDataModelAPI, "q", "r", "t"),
     (TypeError, "_send_request() takes exactly 5 positional arguments (4 given)")),
    (sender, "__defaults__", [None], None, (TypeError, "__defaults__ must be set to a tuple object")),
]


@pytest.mark.parametrize("function, attribute, value, call, expected", DEFAULTS)
def test_defaults_are_writable_and_read_at_call_time(api, monkeypatch, function, attribute, value, call, expected):
    f = function(api)
    try:
        if value is DELETE:
            monkeypatch.delattr(f, attribute)
        else:
            monkeypatch.setattr(f, attribute, value)
        outcome = call(f, api)
    except TypeError as e:
        outcome = (TypeError, str(e))
    assert outcome == expected
    if value is not DELETE and not isinstance(expected, tuple):
        assert getattr(f, attribute) == value


def test_keywords_that_are_not_strings(api):
    """Only C callers can pass such keyword names; the interpreter refuses them earlier."""
    function = api._AECDataModelAPI._get_pagination_variable
    # The function object starts with the object header, then its vectorcall pointer.
    pointer = ctypes.c_void_p.from_address(id(function) + object.__basicsize__).value
    vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                   ctypes.py_object)(pointer)
    values = (ctypes.py_object * 2)(1, 2)
    assert vectorcall(function, ctypes.cast(values, ctypes.c_void_p), 0, ("limit", "cursor")) == {
        "cursor": 2, "limit": 1}
    with pytest.raises(TypeError) as info:
        vectorcall(function, ctypes.cast(values, ctypes.c_void_p), 0, ("limit", 7))
    assert str(info.value) == "_get_pagination_variable() keywords must be strings"
