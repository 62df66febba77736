"""BrimvaleFile: offline members, the hub search, the latest version, and their caches."""
import pytest
from fakes import chain, ok, status

from zelmar._vendor.requests.exceptions import HTTPError

API = "https://api.brimvale.example"
URL = "https://cloud.brimvale.example/app/projects/P-1/folders/F/items/I-2?view=1"
HUBS_URL = f"{API}/project/v1/hubs"
HUB_RECORD = {"id": "H-2", "attributes": {"region": "EMEA", "name": "two"}}


def project_url(hub):
    return f"{API}/project/v1/hubs/{hub}/projects/P-1"


@pytest.mark.parametrize("url", ["", "anything", URL])
def test_constructor_keeps_the_url_and_sends_nothing(brimvale, session, url):
    file = brimvale.BrimvaleFile(url)
    assert file.url == url
    assert (file._latest_version, file._hub, file._aec_data_model_element_group) == (None, None, None)
    assert session.requests == []


@pytest.mark.parametrize(
    "url, member, result",
    [
        (URL, "urn", "I-2"),
        (URL, "project_id", "P-1"),
        ("https://x/projects/P-1", "urn", ValueError("Could not extract urn (item id) from URL")),
        ("https://x/items/I-2", "project_id", ValueError("Could not extract project id from URL")),
        ("", "urn", ValueError("Could not extract urn (item id) from URL")),
    ],
)
def test_offline_members(brimvale, url, member, result):
    file = brimvale.BrimvaleFile(url)
    if isinstance(result, Exception):
        with pytest.raises(ValueError) as info:
            getattr(file, member)
        assert str(info.value) == str(result)
        assert info.value.__cause__ is None and info.value.__context__ is None
    else:
        assert getattr(file, member) == result


def test_urn_and_project_id_are_computed_on_every_read(brimvale, monkeypatch):
    file = brimvale.BrimvaleFile(URL)
    assert file.urn == "I-2"
    monkeypatch.setattr(brimvale._DataManagementAPI, "extract_item_id_from_url", classmethod(lambda cls, url: ""))
    with pytest.raises(ValueError, match="Could not extract urn"):
        file.urn


def test_hub_search_takes_the_first_hub_that_holds_the_project(brimvale, session):
    hubs = {"data": [{"name": "no id"}, {"id": None}, {"id": ""}, {"id": "H-1"}, HUB_RECORD, {"id": "H-3"}]}
    session.add(ok(hubs), status(403), ok({"ignored": True}))
    file = brimvale.BrimvaleFile(URL)
    assert file.get_hub_id("tok") == "H-2"
    assert session.urls == [HUBS_URL, project_url("H-1"), project_url("H-2")]
    assert [r.keywords for r in session.requests] == [["headers", "timeout"]] * 3
    assert file._hub is hubs["data"][4]
    # Cached: no request, whatever token comes next.
    assert file.get_region("other") == "EMEA"
    assert file.get_hub_id("other") == "H-2"
    assert file._get_hub("other") is hubs["data"][4]
    assert len(session.requests) == 3


def test_hub_search_calls(brimvale, session, monkeypatch):
    calls = []
    api = brimvale._DataManagementAPI
    monkeypatch.setattr(api, "get_hubs", classmethod(lambda cls, **kw: calls.append(("hubs", list(kw.items()))) or {"data": [{"id": "H"}]}))
    monkeypatch.setattr(api, "get_project", classmethod(lambda cls, **kw: calls.append(("project", list(kw.items())))))
    assert brimvale.BrimvaleFile(URL)._get_hub("tok") == {"id": "H"}
    assert calls == [
        ("hubs", [("access_token", "tok")]),
        ("project", [("hub_id", "H"), ("project_id", "P-1"), ("access_token", "tok")]),
    ]


@pytest.mark.parametrize(
    "answers, url, expected_chain, requests",
    [
        ([ok({"data": []})], URL, [(ValueError, "No hub found")], 1),
        ([ok({"data": [{"id": "H-1"}]}), status(404)], URL, [(ValueError, "No hub found")], 2),
        ([status(401)], URL,
         [(ValueError, "Request to get hubs from Brimvale Platform Services failed"), (HTTPError, "401 Client Error")], 1),
        ([ok({"hubs": []})], URL,
         [(ValueError, "Request to get hubs from Brimvale Platform Services failed"), (KeyError, "'data'")], 1),
        ([ok({"data": [{"id": "H-1"}]})], "https://x/items/I-2",
         [(ValueError, "Request to get project from Brimvale Platform Services failed"),
          (ValueError, "Could not extract project id from URL")], 1),
    ],
)
def test_get_hub_failures(brimvale, session, answers, url, expected_chain, requests):
    session.add(*answers)
    file = brimvale.BrimvaleFile(url)
    with pytest.raises(ValueError) as info:
        file._get_hub("tok")
    assert chain(info.value) == expected_chain
    assert len(session.requests) == requests
    assert file._hub is None
    # get_hub_id wraps whatever _get_hub raised.
    session.add(*answers)
    with pytest.raises(ValueError) as info:
        file.get_hub_id("tok")
    assert chain(info.value) == [(ValueError, "Could not obtain hub id")] + expected_chain


def test_get_hub_passes_other_errors(brimvale, session):
    boom = ConnectionError("down")
    session.add(ok({"data": [{"id": "H"}]}), boom)
    with pytest.raises(ConnectionError) as info:
        brimvale.BrimvaleFile(URL)._get_hub("t")
    assert info.value is boom


@pytest.mark.parametrize(
    "record, outcome",
    [
        ({"id": "H"}, KeyError("attributes")),
        ({"id": "H", "attributes": {}}, KeyError("region")),
        ({"id": "H", "attributes": {"region": "US"}}, "US"),
    ],
)
def test_get_region(brimvale, session, record, outcome):
    session.add(ok({"data": [record]}), ok({}))
    file = brimvale.BrimvaleFile(URL)
    if isinstance(outcome, KeyError):
        with pytest.raises(KeyError) as info:
            file.get_region("t")
        assert type(info.value) is KeyError and info.value.args == outcome.args
    else:
        assert file.get_region("t") == outcome


def test_get_region_converts_value_errors(brimvale, session):
    session.add(ok({"data": []}))
    with pytest.raises(ValueError) as info:
        brimvale.BrimvaleFile(URL).get_region("t")
    assert chain(info.value) == [(ValueError, "Could not obtain hub region"), (ValueError, "No hub found")]


def test_get_hub_id_converts_key_errors(brimvale, session):
    session.add(ok({"data": [{"id": "H"}]}), ok({}))
    file = brimvale.BrimvaleFile(URL)
    file._get_hub("t")
    file._hub = {"name": "no id"}
    with pytest.raises(ValueError) as info:
        file.get_hub_id("t")
    assert chain(info.value) == [(ValueError, "Could not obtain hub id"), (KeyError, "'id'")]


def test_get_latest_version(brimvale, session):
    data = {"id": "urn:v:3", "attributes": {}}
    session.add(ok({"data": data}))
    file = brimvale.BrimvaleFile(URL)
    version = file.get_latest_version("tok")
    assert isinstance(version, brimvale.BrimvaleFileVersion)
    assert version._access_token == "tok" and version._data is data
    assert session.urls == [f"{API}/data/v1/projects/P-1/items/I-2/tip"]
    assert file.get_latest_version("another") is version
    assert file.get_latest_version(access_token="x") is version
    assert len(session.requests) == 1


def test_get_latest_version_call_shapes(brimvale, session, monkeypatch):
    calls = []
    monkeypatch.setattr(brimvale._DataManagementAPI, "get_item_tip",
                        classmethod(lambda cls, **kw: calls.append(list(kw.items())) or {"data": {}}))
    monkeypatch.setattr(brimvale, "BrimvaleFileVersion", lambda *a, **kw: calls.append((a, list(kw.items()))) or "v")
    assert brimvale.BrimvaleFile(URL).get_latest_version("tok") == "v"
    assert calls == [
        [("project_id", "P-1"), ("item_id", "I-2"), ("access_token", "tok")],
        ((), [("_access_token", "tok"), ("_data", {})]),
    ]


LATEST_FAILED = "Request to get latest item version from Brimvale Platform Services failed"


@pytest.mark.parametrize(
    "url, answers, cause, requests",
    [
        ("https://x/projects/P-1", [], (ValueError, "Could not extract urn (item id) from URL"), 0),
        ("https://x/items/I-1", [], (ValueError, "Could not extract project id from URL"), 0),
        (URL, [status(404)], (HTTPError, "404 Client Error"), 1),
        (URL, [ok({"no": "data"})], (KeyError, "'data'"), 1),
    ],
)
def test_get_latest_version_failures(brimvale, session, url, answers, cause, requests):
    session.add(*answers)
    file = brimvale.BrimvaleFile(url)
    with pytest.raises(ValueError) as info:
        file.get_latest_version("t")
    assert chain(info.value) == [(ValueError, LATEST_FAILED), cause]
    assert len(session.requests) == requests
    assert file._latest_version is None


def test_failures_leave_caches_empty_and_later_calls_retry(brimvale, session):
    session.add(status(503), ok({"data": [HUB_RECORD]}), ok({}))
    file = brimvale.BrimvaleFile(URL)
    with pytest.raises(ValueError):
        file.get_hub_id("t")
    assert file.get_hub_id("t") == "H-2"
    assert len(session.requests) == 3


def test_nested_chain_for_missing_project_id(brimvale, session):
    session.add(ok({"data": [{"id": "H"}]}))
    with pytest.raises(ValueError) as info:
        brimvale.BrimvaleFile("https://x/items/I").get_hub_id("t")
    assert chain(info.value) == [
        (ValueError, "Could not obtain hub id"),
        (ValueError, "Request to get project from Brimvale Platform Services failed"),
        (ValueError, "Could not extract project id from URL"),
    ]


def test_two_handles_do_not_share_caches(brimvale, session):
    session.add(ok({"data": [HUB_RECORD]}), ok({}), ok({"data": [HUB_RECORD]}), ok({}))
    assert brimvale.BrimvaleFile(URL).get_hub_id("t") == brimvale.BrimvaleFile(URL).get_hub_id("t")
    assert len(session.requests) == 4


def test_errors_inside_a_handler_have_the_caught_exception_as_context(brimvale, session, monkeypatch):
    import sys

    monkeypatch.delattr(brimvale, "HTTPError")
    with pytest.raises(NameError, match="name 'HTTPError' is not defined") as info:
        brimvale.BrimvaleFile("https://x/items/I").get_latest_version("t")
    context = info.value.__context__
    assert type(context) is ValueError and str(context) == "Could not extract project id from URL"
    assert info.value.__cause__ is None
    assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(NameError):
            brimvale.BrimvaleFile("https://x/items/I").get_latest_version("t")
        assert sys.exc_info()[1] is outer  # the handled exception is restored afterwards
