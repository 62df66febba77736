"""The element-group lookup: region, AEC hub pages, hubs asked in turn, and the cache."""
import pytest
from fakes import chain, ok, status

from zelmar._vendor.requests.exceptions import HTTPError

URL = "https://cloud.brimvale.example/app/projects/P-1/items/urn:I-2"
HUB = {"id": "H-1", "attributes": {"region": "EMEA"}}
HUBS_FAILED = "Request to get AEC Data Model hubs from Brimvale Platform Services failed"
GROUPS_FAILED = "Request to get AEC Data Model element groups from Brimvale Platform Services failed"
NOT_FOUND = "AEC Data Model Element Group ID not found"


def hub_page(ids, cursor=None):
    return ok({"data": {"hubs": {"results": [{"id": i} for i in ids], "pagination": {"cursor": cursor}}}})


def groups(*ids):
    return ok({"data": {"elementGroupsByHub": {"results": [{"id": i, "n": n} for n, i in enumerate(ids)],
                                               "pagination": {"cursor": None}}}})


@pytest.fixture
def located(brimvale, session):
    """A handle whose hub (and so region) is already known: no Data Management requests."""
    file = brimvale.BrimvaleFile(URL)
    file._hub = HUB
    return file


def graphql(session):
    return [(r.kw("headers")["Region"], r.kw("json")["variables"]) for r in session.requests]


def test_pages_then_hubs_in_order(located, session):
    session.add(hub_page(["A1", "A2"], "c1"), hub_page(["B1"], None), groups(), status(500), groups("EG-1", "EG-2"))
    assert located.get_aec_data_model_element_group_id("tok") == "EG-1"
    assert graphql(session) == [
        ("EMEA", {"pagination": {}}),
        ("EMEA", {"pagination": {"cursor": "c1"}}),
        ("EMEA", {"hubId": "A1", "pagination": {}, "filter": {"query": "metadata.fileUrn=='urn:I-2'"}}),
        ("EMEA", {"hubId": "A2", "pagination": {}, "filter": {"query": "metadata.fileUrn=='urn:I-2'"}}),
        ("EMEA", {"hubId": "B1", "pagination": {}, "filter": {"query": "metadata.fileUrn=='urn:I-2'"}}),
    ]
    assert located._aec_data_model_element_group == {"id": "EG-1", "n": 0}
    assert located.get_aec_data_model_element_group_id("other") == "EG-1"
    assert len(session.requests) == 5


def test_call_shapes(brimvale, located, monkeypatch):
    calls = []
    api = brimvale._AECDataModelAPI

    def get_hubs(cls, **kw):
        calls.append(("hubs", list(kw.items())))
        return {"data": {"hubs": {"results": [{"id": "H"}], "pagination": {"cursor": None}}}}

    def get_groups(cls, **kw):
        calls.append(("groups", list(kw.items())))
        return {"data": {"elementGroupsByHub": {"results": [{"id": "G"}]}}}

    monkeypatch.setattr(api, "get_hubs", classmethod(get_hubs))
    monkeypatch.setattr(api, "get_element_groups_by_hub", classmethod(get_groups))
    assert located.get_aec_data_model_element_group_id("tok") == "G"
    assert calls == [
        ("hubs", [("region", "EMEA"), ("access_token", "tok"), ("cursor", None)]),
        ("groups", [("hub_id", "H"), ("region", "EMEA"), ("access_token", "tok"), ("file_urn", "urn:I-2")]),
    ]


def test_region_comes_from_the_hub_search(brimvale, session):
    session.add(ok({"data": [HUB]}), ok({}), hub_page(["A"]), groups("G"))
    assert brimvale.BrimvaleFile(URL).get_aec_data_model_element_group_id("t") == "G"
    assert len(session.requests) == 4


def test_region_failure_passes_unchanged(brimvale, session):
    session.add(ok({"data": []}))
    with pytest.raises(ValueError) as info:
        brimvale.BrimvaleFile(URL).get_aec_data_model_element_group_id("t")
    assert chain(info.value) == [(ValueError, "Could not obtain hub region"), (ValueError, "No hub found")]


def test_no_hubs_does_not_read_the_urn(brimvale, session):
    file = brimvale.BrimvaleFile("https://x/projects/P-1")  # no item id
    file._hub = HUB
    session.add(hub_page([]))
    with pytest.raises(ValueError) as info:
        file.get_aec_data_model_element_group_id("t")
    assert str(info.value) == NOT_FOUND and info.value.__cause__ is None
    assert len(session.requests) == 1


@pytest.mark.parametrize(
    "answers, cause, requests",
    [
        ([status(401)], (HTTPError, "401 Client Error"), 1),
        ([ok({"errors": [{"message": "denied"}]})], (KeyError, "'data'"), 1),
        ([ok({"data": {}})], (KeyError, "'hubs'"), 1),
        ([hub_page(["A"], "c1"), status(502)], (HTTPError, "502 Client Error"), 2),
        ([hub_page(["A"], "c1"), hub_page(["B"], "c1")], (ValueError, "Repeated pagination cursor"), 2),
        ([hub_page(["A"], "c1"), hub_page(["B"], "c2"), hub_page(["C"], "c1")],
         (ValueError, "Repeated pagination cursor"), 3),
        ([hub_page(["A"], 0), hub_page(["A"], 0)], (ValueError, "Repeated pagination cursor"), 2),
    ],
)
def test_hub_listing_failures(located, session, answers, cause, requests):
    session.add(*answers)
    with pytest.raises(ValueError) as info:
        located.get_aec_data_model_element_group_id("t")
    assert chain(info.value) == [(ValueError, HUBS_FAILED), cause]
    assert len(session.requests) == requests
    assert located._aec_data_model_element_group is None


def test_empty_cursor_ends_the_listing(located, session):
    session.add(hub_page(["A"], ""), groups("G"))
    assert located.get_aec_data_model_element_group_id("t") == "G"
    assert len(session.requests) == 2


def test_other_errors_in_the_listing_pass_unchanged(located, session):
    session.add(ok({"data": {"hubs": {"results": None, "pagination": {"cursor": None}}}}))
    with pytest.raises(TypeError):
        located.get_aec_data_model_element_group_id("t")


@pytest.mark.parametrize(
    "hub_answers",
    [
        [status(404)],
        [groups()],
        [ok({"data": {"elementGroupsByHub": {}}})],
        [ok({"data": {"elementGroupsByHub": {"results": [{"name": "no id"}]}}})],
    ],
)
def test_hubs_without_an_answer_are_skipped(located, session, hub_answers):
    session.add(hub_page(["A", "B"]), *hub_answers, groups("G-B"))
    assert located.get_aec_data_model_element_group_id("t") == "G-B"
    assert located._aec_data_model_element_group == {"id": "G-B", "n": 0}


def test_record_without_id_never_reaches_the_cache(located, session):
    session.add(hub_page(["A"]), ok({"data": {"elementGroupsByHub": {"results": [{"name": "no id"}]}}}))
    with pytest.raises(ValueError) as info:
        located.get_aec_data_model_element_group_id("t")
    assert str(info.value) == NOT_FOUND
    assert located._aec_data_model_element_group is None
    # A later call searches again instead of failing on a poisoned cache.
    session.add(hub_page(["A"]), groups("G"))
    assert located.get_aec_data_model_element_group_id("t") == "G"


def test_nothing_found(located, session):
    session.add(hub_page(["A", "B"]), groups(), status(403))
    with pytest.raises(ValueError) as info:
        located.get_aec_data_model_element_group_id("t")
    assert str(info.value) == NOT_FOUND
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize(
    "url, answers, cause",
    [
        ("https://x/projects/P-1", [hub_page(["A"])], (ValueError, "Could not extract urn (item id) from URL")),
        ("https://x/projects/P-1/items/it's", [hub_page(["A"])], (ValueError, "File URN must not contain a single quote")),
    ],
)
def test_value_errors_while_asking_a_hub(brimvale, session, url, answers, cause):
    file = brimvale.BrimvaleFile(url)
    file._hub = HUB
    session.add(*answers)
    with pytest.raises(ValueError) as info:
        file.get_aec_data_model_element_group_id("t")
    assert chain(info.value) == [(ValueError, GROUPS_FAILED), cause]
    assert len(session.requests) == 1


def test_cached_record_without_id_is_a_plain_key_error(located, session):
    located._aec_data_model_element_group = {"name": "x"}
    with pytest.raises(KeyError):
        located.get_aec_data_model_element_group_id("t")
    assert session.requests == []
