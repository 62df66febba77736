"""The five Data Management requests: exactly what goes out, and what comes back."""
import pytest
from fakes import FakeResponse, ok, status

from zelmar._vendor.requests.exceptions import HTTPError, JSONDecodeError

API = "https://api.brimvale.example"

REQUESTS = [
    # method, keywords, expected URL
    ("get_item_tip", {"project_id": "P-1", "item_id": "I-2"}, f"{API}/data/v1/projects/P-1/items/I-2/tip"),
    ("get_signed_s3_url", {"bucket_key": "B-3", "object_key": "O-4.dat"},
     f"{API}/oss/v2/buckets/B-3/objects/O-4.dat/signeds3download"),
    ("get_hubs", {}, f"{API}/project/v1/hubs"),
    ("get_hub", {"hub_id": "H-5"}, f"{API}/project/v1/hubs/H-5"),
    ("get_project", {"hub_id": "H-5", "project_id": "P-1"}, f"{API}/project/v1/hubs/H-5/projects/P-1"),
]


@pytest.mark.parametrize("method, keywords, url", REQUESTS)
def test_request_shape(brimvale, session, method, keywords, url):
    body = {"data": [1, 2]}
    session.add(ok(body))
    result = getattr(brimvale._DataManagementAPI, method)(**keywords, access_token="tok")
    assert result is body
    [request] = session.requests
    assert request.method == "GET"
    assert request.args == (url,)
    assert request.keywords == ["headers", "timeout"]
    assert request.kw("headers") == {"Authorization": "Bearer tok"}
    timeout = request.kw("timeout")
    assert timeout == 10 and type(timeout) is int


@pytest.mark.parametrize("method, keywords, url", REQUESTS)
def test_error_status_is_the_sessions_http_error(brimvale, session, method, keywords, url):
    session.add(status(404))
    with pytest.raises(HTTPError) as info:
        getattr(brimvale._DataManagementAPI, method)(**keywords, access_token="tok")
    assert not isinstance(info.value, ValueError)
    assert len(session.requests) == 1


@pytest.mark.parametrize(
    "identifier, in_path",
    [
        ("I-1#x", "I-1%23x"),
        ("a/b", "a%2Fb"),
        ("a?b=c", "a%3Fb=c"),
        ("a b;c&d", "a b;c&d"),
        ("dir%2Fname.dat", "dir%2Fname.dat"),  # an escape taken from a storage URL goes in as is
        ("%23/#?", "%23%2F%23%3F"),
    ],
)
def test_identifiers_stay_one_path_segment(brimvale, session, identifier, in_path):
    session.add(ok({}), ok({}))
    brimvale._DataManagementAPI.get_item_tip(project_id=identifier, item_id=identifier, access_token="t")
    assert session.urls[0] == f"{API}/data/v1/projects/{in_path}/items/{in_path}/tip"
    brimvale._DataManagementAPI.get_signed_s3_url(bucket_key="B", object_key=identifier, access_token="t")
    assert session.urls[1] == f"{API}/oss/v2/buckets/B/objects/{in_path}/signeds3download"


def test_non_str_identifier_is_formatted(brimvale, session):
    session.add(ok({}))
    brimvale._DataManagementAPI.get_hub(hub_id=17, access_token="t")
    assert session.urls == [f"{API}/project/v1/hubs/17"]


@pytest.mark.parametrize("token, header", [(" padded ", "Bearer  padded "), ("", "Bearer ")])
def test_token_goes_in_unchanged(brimvale, session, token, header):
    session.add(ok({}))
    brimvale._DataManagementAPI.get_hubs(access_token=token)
    assert session.requests[0].kw("headers") == {"Authorization": header}


def test_token_that_is_not_str_fails_before_sending(brimvale, session):
    with pytest.raises(TypeError):
        brimvale._DataManagementAPI.get_hubs(access_token=None)
    assert session.requests == []


def test_answers_come_back_unchanged(brimvale, session):
    body = [{"id": "x"}]
    session.add(ok(body))
    assert brimvale._DataManagementAPI.get_hubs(access_token="t") is body


def test_transport_and_decoding_errors_pass_unchanged(brimvale, session):
    boom = ConnectionError("refused")
    session.add(boom)
    with pytest.raises(ConnectionError) as info:
        brimvale._DataManagementAPI.get_hubs(access_token="t")
    assert info.value is boom
    bad = JSONDecodeError("Expecting value", "<html>", 0)
    session.add(FakeResponse(json_error=bad))
    with pytest.raises(JSONDecodeError) as info:
        brimvale._DataManagementAPI.get_hubs(access_token="t")
    assert info.value is bad


@pytest.mark.parametrize(
    "attribute, method, keywords, path",
    [
        ("DATA_BASE_URL", "get_item_tip", {"project_id": "P", "item_id": "I"}, "/projects/P/items/I/tip"),
        ("OSS_BASE_URL", "get_signed_s3_url", {"bucket_key": "B", "object_key": "O"},
         "/buckets/B/objects/O/signeds3download"),
        ("PROJECT_BASE_URL", "get_hubs", {}, "/hubs"),
    ],
)
def test_base_urls_are_read_through_cls(brimvale, session, monkeypatch, attribute, method, keywords, path):
    class Sub(brimvale._DataManagementAPI):
        pass

    setattr(Sub, attribute, "http://sub")
    session.add(ok({}), ok({}))
    getattr(Sub, method)(**keywords, access_token="t")
    monkeypatch.setattr(brimvale._DataManagementAPI, attribute, "http://rebound")
    getattr(brimvale._DataManagementAPI, method)(**keywords, access_token="t")
    assert session.urls == ["http://sub" + path, "http://rebound" + path]


def test_session_is_read_afresh_for_every_request(brimvale, monkeypatch):
    import zelmar.core
    from fakes import RecordingSession

    first, second = RecordingSession().add(ok(1)), RecordingSession().add(ok(2))
    monkeypatch.setattr(zelmar.core._Context, "session_with_retries", first)
    assert brimvale._DataManagementAPI.get_hubs(access_token="t") == 1
    monkeypatch.setattr(zelmar.core._Context, "session_with_retries", second)
    assert brimvale._DataManagementAPI.get_hubs(access_token="t") == 2
    monkeypatch.delattr(zelmar.core._Context, "session_with_retries")
    with pytest.raises(AttributeError):
        brimvale._DataManagementAPI.get_hubs(access_token="t")


def test_base_urls(brimvale):
    api = brimvale._DataManagementAPI
    assert brimvale._BASE_URL.startswith("https://") and not brimvale._BASE_URL.endswith("/")
    assert api.PROJECT_BASE_URL == brimvale._BASE_URL + "/project/v1"
    assert api.DATA_BASE_URL == brimvale._BASE_URL + "/data/v1"
    assert api.OSS_BASE_URL == brimvale._BASE_URL + "/oss/v2"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda api: api.get_hubs("t"), "get_hubs() takes exactly 1 positional argument (2 given)"),
        (lambda api: api.get_hub(access_token="t"), "get_hub() needs keyword-only argument hub_id"),
        (lambda api: api.get_project(hub_id="h", access_token="t"),
         "get_project() needs keyword-only argument project_id"),
        (lambda api: api.get_item_tip(project_id="p", item_id="i", access_token="t", extra=1),
         "get_item_tip() got an unexpected keyword argument 'extra'"),
    ],
)
def test_bad_calls_send_nothing(brimvale, session, call, message):
    with pytest.raises(TypeError) as info:
        call(brimvale._DataManagementAPI)
    assert str(info.value) == message
    assert session.requests == []
