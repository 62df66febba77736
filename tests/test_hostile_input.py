"""Hostile input: recursion, dot segments, tokens with line breaks, GraphQL error answers,
outages that must not read as "not found", and listings that never end."""
import platform
import sys

import pytest
from fakes import FakeResponse, chain, ok, status
from support import run_python


from zelmar._vendor.requests.exceptions import HTTPError

API = "https://api.brimvale.example"
URL = "https://cloud.brimvale.example/app/projects/P-1/items/I-2"
HUB = {"id": "H-1", "attributes": {"region": "EMEA"}}
DOT = "Identifier must not be '.' or '..'"
TOKEN_REFUSED = "Access token must not contain line breaks or NUL characters"
PROJECT_FAILED = "Request to get project from Brimvale Platform Services failed"
HUBS_FAILED = "Request to get AEC Data Model hubs from Brimvale Platform Services failed"
GROUPS_FAILED = "Request to get AEC Data Model element groups from Brimvale Platform Services failed"


# Each cycle through compiled members, beside the same cycle through Python functions: the
# module must answer as the interpreter does for the plain one.
RECURSIONS = {
    "method": ("from zelmar.external.brimvale import BrimvaleFile as B\n"
               "class S(B): _get_hub = B.get_hub_id\n"
               "ours = lambda: S('https://x/projects/P/items/I').get_hub_id('t')",
               "class P:\n    def get_hub_id(self, t): return self._get_hub(t)\n"
               "class Q(P): _get_hub = P.get_hub_id\n"
               "plain = lambda: Q().get_hub_id('t')"),
    "hook": ("from io import BytesIO\nfrom zelmar.external.dunmere import DunmereAnalysis as D\n"
             "class S(D): _get_result_content = D.get_output_file\n"
             "ours = lambda: S(BytesIO(b'x')).get_output_file()",
             "class P:\n    def get_output_file(self): return self._get_result_content()\n"
             "class Q(P): _get_result_content = P.get_output_file\n"
             "plain = lambda: Q().get_output_file()"),
    "property": ("from zelmar.external.brimvale import BrimvaleFile as B\n"
                 "class S(B): _url = B.urn\n"
                 "ours = lambda: S.__new__(S).urn",
                 "class P:\n    @property\n    def urn(self): return self._url\n"
                 "class Q(P): _url = P.urn\n"
                 "plain = lambda: Q().urn"),
}


@pytest.mark.parametrize("name", RECURSIONS)
def test_recursion_through_compiled_members_raises_what_python_raises(name):
    ours, plain = RECURSIONS[name]
    # Each thread size under the default limit and a raised one: RecursionError, never a crash.
    # A cycle of Python functions may itself overrun a small thread's stack (3.10), so the two
    # are compared on the main thread under the default limit.
    result = run_python(f"""
import sys, threading
{ours}
{plain}
def outcome(call):
    try:
        call()
    except RecursionError as e:
        return f"RecursionError: {{e}}"
    return "no error"
print(outcome(ours) == outcome(plain), flush=True)
for size in [0, 64 << 10, 128 << 10, 256 << 10]:
    for limit in [1000, 10**6]:
        sys.setrecursionlimit(limit)
        seen = []
        try:
            threading.stack_size(size)
        except ValueError:  # below the C library's thread minimum (128 KiB on aarch64)
            print(size, limit, "no such thread here")
            continue
        if size:
            thread = threading.Thread(target=lambda: seen.append(outcome(ours)))
            thread.start()
            thread.join()
        else:
            seen.append(outcome(ours))
        print(size, limit, seen[0], flush=True)
""")
    assert result.returncode == 0, (result.returncode, result.stdout, result.stderr[-2000:])
    lines = result.stdout.splitlines()
    assert lines[0] == "True" and len(lines) == 9, lines
    # Each thread ends in RecursionError; on aarch64 the smallest thread the C library makes
    # has 128 KiB (PTHREAD_STACK_MIN), so there is no 64 KiB one to try.
    smallest = 128 << 10 if platform.machine() == "aarch64" else 64 << 10
    expected = ["no such thread here" if 0 < int(line.split()[0]) < smallest else
                "RecursionError: maximum recursion depth exceeded" for line in lines[1:]]
    assert [line.split(" ", 2)[2] for line in lines[1:]] == expected, lines


def test_a_finite_recursion_under_a_raised_limit_completes():
    result = run_python("""
import sys
from zelmar.external.brimvale import BrimvaleFile
class S(BrimvaleFile):
    def _get_hub(self, token):  # 600 turns through get_hub_id, then an answer
        return {"id": self.get_hub_id(token - 1) if token else "end"}
sys.setrecursionlimit(10**5)
print(S("https://x/projects/P/items/I").get_hub_id(600))
""")
    assert result.stdout == "end\n", (result.returncode, result.stderr[-2000:])


# ---- identifiers that are dot segments ----

DOT_IDS = [".", "..", "%2e", "%2E", "%2e%2E", ".%2e", "%2E.", 2 * "%2e"]
NOT_DOT_IDS = ["...", ".a", "a.", "%2e%2e%2e", "%252e", "%2f", "%2", "%2x", "", "%2e/"]

DM_REQUESTS = [
    # method, its identifier keywords
    ("get_item_tip", ["project_id", "item_id"]),
    ("get_signed_s3_url", ["bucket_key", "object_key"]),
    ("get_hub", ["hub_id"]),
    ("get_project", ["hub_id", "project_id"]),
]


@pytest.mark.parametrize("method, names", DM_REQUESTS)
@pytest.mark.parametrize("identifier", DOT_IDS)
def test_dot_segment_identifiers_are_refused_before_sending(brimvale, session, method, names, identifier):
    for refused in names:
        keywords = {name: "ok" for name in names}
        keywords[refused] = identifier
        with pytest.raises(ValueError) as info:
            getattr(brimvale._DataManagementAPI, method)(**keywords, access_token="t")
        assert str(info.value) == DOT and info.value.__cause__ is None
    assert session.requests == []


@pytest.mark.parametrize("identifier", NOT_DOT_IDS)
def test_other_identifiers_still_go_out(brimvale, session, identifier):
    session.add(ok({}))
    brimvale._DataManagementAPI.get_item_tip(project_id="P", item_id=identifier, access_token="t")
    expected = identifier.replace("/", "%2F")
    assert session.urls == [f"{API}/data/v1/projects/P/items/{expected}/tip"]


@pytest.mark.parametrize(
    "url, call, outer, sent",
    [
        ("https://x/projects/P-1/items/..", lambda f: f.get_latest_version("t"),
         "Request to get latest item version from Brimvale Platform Services failed", []),
        ("https://x/projects/%2e/items/I", lambda f: f.get_latest_version("t"),
         "Request to get latest item version from Brimvale Platform Services failed", []),
        ("https://x/projects/../items/I", lambda f: f._get_hub("t"), PROJECT_FAILED, [f"{API}/project/v1/hubs"]),
    ],
)
def test_callers_map_the_refusal_like_any_value_error(brimvale, session, url, call, outer, sent):
    session.add(ok({"data": [HUB]}))
    with pytest.raises(ValueError) as info:
        call(brimvale.BrimvaleFile(url))
    assert chain(info.value) == [(ValueError, outer), (ValueError, DOT)]
    assert session.urls == sent


def test_download_with_a_dot_segment_key_sends_nothing(brimvale, session):
    href = f"{API}/oss/v2/buckets/B/objects/%2E%2e"
    version = brimvale.BrimvaleFileVersion("t", {"relationships": {"storage": {"meta": {"link": {"href": href}}}}})
    with pytest.raises(ValueError) as info:
        version.get_file()
    assert chain(info.value)[1] == (ValueError, DOT)
    assert session.requests == []


# ---- tokens ----

NOT_LATIN_1 = "Access token must not contain characters outside Latin-1"
BAD_TOKENS = {"tok\n": TOKEN_REFUSED, "tok\r": TOKEN_REFUSED, "t\r\nX-Other: 1": TOKEN_REFUSED,
              "\x00tok": TOKEN_REFUSED, "to\x00k": TOKEN_REFUSED, "secret\u00e9\n": TOKEN_REFUSED,
              "pasted\u2019quote": NOT_LATIN_1, "secret\u4e2d": NOT_LATIN_1, "x\U0001f600": NOT_LATIN_1}


def all_requests(b):
    return [
        lambda t: b._DataManagementAPI.get_hubs(access_token=t),
        lambda t: b._DataManagementAPI.get_item_tip(project_id="P", item_id="I", access_token=t),
        lambda t: b._AECDataModelAPI.get_hubs(region="R", access_token=t),
        lambda t: b._AECDataModelAPI._send_request("q", "R", t),
    ]


@pytest.mark.parametrize("token", BAD_TOKENS)
def test_tokens_that_cannot_go_in_a_header_are_refused_without_showing_them(brimvale, session, token):
    for request in all_requests(brimvale):
        with pytest.raises(ValueError) as info:
            request(token)
        assert info.value.args == (BAD_TOKENS[token],) and info.value.__cause__ is None
    assert session.requests == []


@pytest.mark.parametrize("token", [None, 5, b"tok"])
def test_tokens_that_are_not_str_still_fail_on_the_concatenation(brimvale, session, token):
    for request in all_requests(brimvale):
        with pytest.raises(TypeError):
            request(token)
    assert session.requests == []


SECRET = "very-secret-token\n"


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda b, f: f.get_latest_version(SECRET),
         ["Request to get latest item version from Brimvale Platform Services failed", TOKEN_REFUSED]),
        (lambda b, f: f.get_hub_id(SECRET), ["Could not obtain hub id", TOKEN_REFUSED]),
        # The listing maps only HTTPError and KeyError: the refusal passes unchanged.
        (lambda b, f: setattr(f, "_hub", HUB) or f.get_aec_data_model_element_group_id(SECRET), [TOKEN_REFUSED]),
        (lambda b, f: b.BrimvaleFileVersion(SECRET, {"relationships": {"storage": {"meta": {"link": {
            "href": f"{API}/oss/v2/buckets/B/objects/O"}}}}}).get_file(),
         ["Request to get a short-lived download URL from Brimvale Platform Services failed", TOKEN_REFUSED]),
    ],
)
def test_callers_map_the_token_refusal(brimvale, session, call, expected):
    with pytest.raises(ValueError) as info:
        call(brimvale, brimvale.BrimvaleFile(URL))
    assert [text for _, text in chain(info.value)] == expected
    assert session.requests == []


def test_simulator_records_do_not_show_the_token():
    from zelmar_sim import LoggedRequest

    record = LoggedRequest("GET", "/project/v1/hubs", {"Authorization": "Bearer s3cr3t", "Region": "EU"}, b"", "hubs")
    assert "s3cr3t" not in repr(record) and "EU" in repr(record)
    assert record.headers["Authorization"] == "Bearer s3cr3t"  # still there for tests to read


# ---- GraphQL error answers ----

def hub_page(ids, cursor=None):
    return ok({"data": {"hubs": {"results": [{"id": i} for i in ids], "pagination": {"cursor": cursor}}}})


def groups(*ids):
    return ok({"data": {"elementGroupsByHub": {"results": [{"id": i} for i in ids]}}})


GRAPHQL_ERROR = ok({"errors": [{"message": "denied"}], "data": None})


@pytest.fixture
def located(brimvale, session):
    file = brimvale.BrimvaleFile(URL)
    file._hub = HUB
    return file


@pytest.mark.parametrize(
    "answers, outcome",
    [
        # the listing: a null data is a missing data
        ([GRAPHQL_ERROR], [(ValueError, HUBS_FAILED), (KeyError, "'data'")]),
        ([hub_page(["A"], "c"), GRAPHQL_ERROR], [(ValueError, HUBS_FAILED), (KeyError, "'data'")]),
        # the search: a hub answering with an error is skipped
        ([hub_page(["A", "B"]), GRAPHQL_ERROR, groups("G")], "G"),
        ([hub_page(["A"]), GRAPHQL_ERROR], [(ValueError, "AEC Data Model Element Group ID not found")]),
        # a null deeper down is still a TypeError
        ([ok({"data": {"hubs": None}})], TypeError),
        ([hub_page(["A"]), ok({"data": {"elementGroupsByHub": None}})], TypeError),
    ],
)
def test_graphql_error_answers(located, session, answers, outcome):
    session.add(*answers)
    if outcome is TypeError:
        with pytest.raises(TypeError):
            located.get_aec_data_model_element_group_id("t")
    elif isinstance(outcome, str):
        assert located.get_aec_data_model_element_group_id("t") == outcome
    else:
        with pytest.raises(ValueError) as info:
            located.get_aec_data_model_element_group_id("t")
        assert chain(info.value) == outcome
        if sys.version_info >= (3, 11) and outcome[-1][0] is KeyError:  # the server's reason, as a note
            assert info.value.__cause__.__notes__ == ["GraphQL error: denied"]


# ---- outages ----

def no_response(code):
    return HTTPError(f"{code} without a response")  # an HTTPError whose response is None


@pytest.mark.parametrize(
    "probes, outcome",
    [
        ([status(503), status(403)], [(ValueError, PROJECT_FAILED), (HTTPError, "503 Client Error")]),
        ([status(403), status(500), status(502)], [(ValueError, PROJECT_FAILED), (HTTPError, "500 Client Error")]),
        ([status(503), ok({})], "H-b"),
        ([status(499), status(404)], [(ValueError, "No hub found")]),
        ([no_response(503), status(404)], [(ValueError, "No hub found")]),
        ([FakeResponse({}, status=600), status(404)], [(ValueError, PROJECT_FAILED), (HTTPError, "600 Client Error")]),
    ],
)
def test_hub_search_does_not_read_an_outage_as_not_found(brimvale, session, probes, outcome):
    session.add(ok({"data": [{"id": "H-a"}, {"id": "H-b"}, {"id": "H-c"}][: len(probes)]}), *probes)
    file = brimvale.BrimvaleFile(URL)
    if isinstance(outcome, str):
        assert file._get_hub("t")["id"] == outcome
        return
    with pytest.raises(ValueError) as info:
        file._get_hub("t")
    assert chain(info.value) == outcome
    assert info.value.__suppress_context__ or info.value.__context__ is None
    assert len(session.requests) == 1 + len(probes)  # every hub was still asked


def test_hub_search_outage_reaches_get_hub_id(brimvale, session):
    session.add(ok({"data": [{"id": "H-a"}]}), status(504))
    with pytest.raises(ValueError) as info:
        brimvale.BrimvaleFile(URL).get_hub_id("t")
    assert [text for _, text in chain(info.value)] == ["Could not obtain hub id", PROJECT_FAILED, "504 Client Error"]


@pytest.mark.parametrize(
    "answers, outcome",
    [
        ([status(500), groups()], [(ValueError, GROUPS_FAILED), (HTTPError, "500 Client Error")]),
        ([groups(), status(502)], [(ValueError, GROUPS_FAILED), (HTTPError, "502 Client Error")]),
        ([status(503), groups("G")], "G"),
        ([status(404), groups()], [(ValueError, "AEC Data Model Element Group ID not found")]),
        ([no_response(500), groups()], [(ValueError, "AEC Data Model Element Group ID not found")]),
    ],
)
def test_element_group_search_does_not_read_an_outage_as_not_found(located, session, answers, outcome):
    session.add(hub_page(["A", "B"]), *answers)
    if isinstance(outcome, str):
        assert located.get_aec_data_model_element_group_id("t") == outcome
        return
    with pytest.raises(ValueError) as info:
        located.get_aec_data_model_element_group_id("t")
    assert chain(info.value) == outcome
    assert len(session.requests) == 3


# ---- listings that never end ----

def test_hub_listing_stops_after_ten_thousand_pages(located, session):
    pages = iter(range(1, 20_000))
    session.add(*[lambda request: hub_page([], f"c{next(pages)}")] * 10_001)
    with pytest.raises(ValueError) as info:
        located.get_aec_data_model_element_group_id("t")
    assert chain(info.value) == [(ValueError, HUBS_FAILED), (ValueError, "Too many pagination pages")]
    assert len(session.requests) == 10_000


def test_hub_listing_of_exactly_ten_thousand_pages_ends(located, session):
    pages = iter(range(1, 10_000))
    session.add(*[lambda request: hub_page([], f"c{next(pages)}")] * 9_999, hub_page(["A"]), groups("G"))
    assert located.get_aec_data_model_element_group_id("t") == "G"
    assert len(session.requests) == 10_001


@pytest.mark.parametrize("cursor", [["a", 1], {"k": "v"}])
def test_unhashable_repeated_cursor_is_still_caught(located, session, cursor):
    session.add(hub_page(["A"], cursor), hub_page(["B"], list(cursor) if isinstance(cursor, list) else dict(cursor)))
    with pytest.raises(ValueError) as info:
        located.get_aec_data_model_element_group_id("t")
    assert chain(info.value) == [(ValueError, HUBS_FAILED), (ValueError, "Repeated pagination cursor")]


# ---- small departures from the documented behaviour ----

def test_hub_id_is_read_with_an_explicit_default_of_none(brimvale, session):
    class Record(dict):
        def get(self, key, default="own default"):
            return super().get(key, default)

    session.add(ok({"data": [Record(name="no id"), Record(id="H-2")]}), ok({}))
    assert brimvale.BrimvaleFile(URL)._get_hub("t")["id"] == "H-2"
    assert session.urls[1] == f"{API}/project/v1/hubs/H-2/projects/P-1"


def test_element_groups_query_is_built_in_order(brimvale, session, monkeypatch):
    steps = []

    def dedent(text):
        steps.append("dedent")
        return text

    class Sub(brimvale._AECDataModelAPI):
        @staticmethod
        def _get_pagination_variable(**kwargs):
            steps.append("pagination")
            return {}

    class Urn:
        def __bool__(self):
            steps.append("truth")
            return True

        def __format__(self, spec):
            steps.append("text")
            return "it's"

    monkeypatch.setattr(brimvale, "dedent", dedent)
    with pytest.raises(ValueError, match="File URN must not contain a single quote"):
        Sub.get_element_groups_by_hub(hub_id="H", region="R", access_token="t", file_urn=Urn())
    assert steps == ["dedent", "pagination", "truth", "text"]
    assert session.requests == []


def test_module_name_is_fixed_whatever_name_the_module_is_loaded_under():
    result = run_python("""
        import importlib.util, sys
        import zelmar.core, zelmar._vendor.requests.exceptions
        path = importlib.util.find_spec("zelmar.external.brimvale").origin
        spec = importlib.util.spec_from_file_location("zelmar.elsewhere.brimvale", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        classes = [module.BrimvaleFile, module.BrimvaleFileVersion, module._DataManagementAPI, module._AECDataModelAPI]
        print(module.__name__, {c.__module__ for c in classes})
        print({module.BrimvaleFile.get_hub_id.__module__, module.BrimvaleFile.urn.fget.__module__,
               module._DataManagementAPI.get_hubs.__module__})
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["zelmar.elsewhere.brimvale {'zelmar.external.brimvale'}", "{'zelmar.external.brimvale'}"]
