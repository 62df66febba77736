"""The GraphQL client: documents, variables, pagination, headers, and the URN filter."""
import pytest
from fakes import ok, status

from zelmar._vendor.requests.exceptions import HTTPError

HUBS_QUERY = """query GetHubs($pagination: PaginationInput) {
  hubs(pagination: $pagination) {
    results {
      id
    }
    pagination {
      cursor
    }
  }
}"""

ELEMENT_GROUPS_QUERY = """query GetElementGroupsByHub($hubId: ID!, $filter: ElementGroupFilterInput, $pagination: PaginationInput) {
  elementGroupsByHub(hubId: $hubId, filter: $filter, pagination: $pagination) {
    results {
      id
    }
    pagination {
      cursor
    }
  }
}"""


def sent(session):
    [request] = session.requests
    assert request.method == "POST"
    assert request.keywords == ["headers", "json", "timeout"]
    assert request.kw("timeout") == 10 and type(request.kw("timeout")) is int
    return request


@pytest.mark.parametrize("variables", [None, {}])
def test_send_request_without_variables(brimvale, session, variables):
    body = {"data": {}}
    session.add(ok(body))
    assert brimvale._AECDataModelAPI._send_request("q", "EMEA", "tok", variables) is body
    request = sent(session)
    assert request.args == (brimvale._BASE_URL + "/aec/graphql",)
    headers = request.kw("headers")
    assert list(headers.items()) == [("Authorization", "Bearer tok"), ("Region", "EMEA")]
    assert request.kw("json") == {"query": "q"}


def test_send_request_with_variables(brimvale, session):
    variables = {"a": 1}
    session.add(ok({}))
    brimvale._AECDataModelAPI._send_request(query="q", region="US", access_token="t", variables=variables)
    payload = sent(session).kw("json")
    assert list(payload) == ["query", "variables"]
    assert payload["variables"] is variables


@pytest.mark.parametrize(
    "limit, cursor, pagination",
    [
        (None, None, {}),
        (5, "abc", {"cursor": "abc", "limit": 5}),
        (0, "", {}),
        (0, "abc", {"cursor": "abc"}),
        (7, None, {"limit": 7}),
    ],
)
def test_get_hubs(brimvale, session, limit, cursor, pagination):
    session.add(ok({}))
    brimvale._AECDataModelAPI.get_hubs(region="R", access_token="t", limit=limit, cursor=cursor)
    payload = sent(session).kw("json")
    assert payload["query"] == HUBS_QUERY
    assert payload["variables"] == {"pagination": pagination}
    assert list(payload["variables"]["pagination"]) == list(pagination)


@pytest.mark.parametrize(
    "file_urn, limit, cursor, variables",
    [
        (None, None, None, {"hubId": "H", "pagination": {}}),
        ("", None, None, {"hubId": "H", "pagination": {}}),
        ("urn:x:1", None, None,
         {"hubId": "H", "pagination": {}, "filter": {"query": "metadata.fileUrn=='urn:x:1'"}}),
        (None, 0, "abc", {"hubId": "H", "pagination": {"cursor": "abc"}}),
        (None, 3, None, {"hubId": "H", "pagination": {"limit": 3}}),
        (12, None, None, {"hubId": "H", "pagination": {}, "filter": {"query": "metadata.fileUrn=='12'"}}),
    ],
)
def test_get_element_groups_by_hub(brimvale, session, file_urn, limit, cursor, variables):
    session.add(ok({}))
    brimvale._AECDataModelAPI.get_element_groups_by_hub(
        hub_id="H", region="R", access_token="t", file_urn=file_urn, limit=limit, cursor=cursor
    )
    payload = sent(session).kw("json")
    assert payload["query"] == ELEMENT_GROUPS_QUERY
    assert payload["variables"] == variables
    assert list(payload["variables"]) == list(variables)


@pytest.mark.parametrize(
    "keywords, message",
    [
        ({"limit": 5, "cursor": "abc"}, "Cannot provide both limit and cursor"),
        ({"limit": 5, "cursor": "abc", "file_urn": "a'b"}, "Cannot provide both limit and cursor"),
        ({"file_urn": "urn' || true || '"}, "File URN must not contain a single quote"),
    ],
)
def test_element_groups_refusals_send_nothing(brimvale, session, keywords, message):
    with pytest.raises(ValueError) as info:
        brimvale._AECDataModelAPI.get_element_groups_by_hub(hub_id="H", region="R", access_token="t", **keywords)
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert session.requests == []


def test_pagination_variable(brimvale):
    paginate = brimvale._AECDataModelAPI._get_pagination_variable
    assert paginate() == {}
    assert list(paginate(limit=2, cursor="c").items()) == [("cursor", "c"), ("limit", 2)]
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        paginate(1)


def test_members_are_reached_through_cls(brimvale, session):
    calls = []

    class Sub(brimvale._AECDataModelAPI):
        GRAPHQL_URL = "http://sub/graphql"

        @staticmethod
        def _get_pagination_variable(**kwargs):
            calls.append(("pagination", list(kwargs.items())))
            return {"p": 1}

        @classmethod
        def _send_request(cls, *args, **kwargs):
            calls.append(("send", args, kwargs))
            return super()._send_request(*args, **kwargs)

    session.add(ok({}))
    Sub.get_hubs(region="R", access_token="t", cursor="c")
    assert calls[0] == ("pagination", [("limit", None), ("cursor", "c")])
    assert calls[1] == ("send", (HUBS_QUERY, "R", "t", {"pagination": {"p": 1}}), {})
    assert session.urls == ["http://sub/graphql"]


def test_documents_go_through_the_module_dedent(brimvale, session, monkeypatch):
    texts = []

    def dedent(text):
        texts.append(text)
        return "  doc  "

    monkeypatch.setattr(brimvale, "dedent", dedent)
    session.add(ok({}), ok({}))
    brimvale._AECDataModelAPI.get_hubs(region="R", access_token="t")
    brimvale._AECDataModelAPI.get_hubs(region="R", access_token="t")
    assert len(texts) == 2  # rebuilt on every call
    assert [r.kw("json")["query"] for r in session.requests] == ["doc", "doc"]


def test_errors_pass_unchanged(brimvale, session):
    session.add(status(500))
    with pytest.raises(HTTPError):
        brimvale._AECDataModelAPI.get_hubs(region="R", access_token="t")
    body = {"errors": [{"message": "no"}]}
    session.add(ok(body))
    assert brimvale._AECDataModelAPI.get_hubs(region="R", access_token="t") is body
    with pytest.raises(TypeError):
        brimvale._AECDataModelAPI._send_request("q", "R", 5)
    assert len(session.requests) == 2
