"""The library calls the modules make (re.search, dedent, b64encode): made as the Python makes
them, each time, so that replacing what they are or read takes effect on the next call."""
import re
import sys
import textwrap
import traceback

import pytest
from fakes import ok

API = "https://api.brimvale.example"

# ---- URL extraction: re.search itself ----

def reference(url, category):
    """What the Part's code gives: re.search of the formatted pattern, group 1."""
    try:
        match = re.search(f"/{category}/([^/?]+)", url)
    except Exception as e:  # noqa: BLE001 - compared, not handled
        return ("raises", type(e), str(e))
    return match.group(1) if match else None


def extracted(api, url, category):
    try:
        return api._extract_element_id_from_url(url=url, element_category=category)
    except Exception as e:  # noqa: BLE001
        return ("raises", type(e), str(e))


@pytest.mark.parametrize(
    "url, category",
    [
        (b"/items/x", "items"),          # bytes: re's own TypeError
        (None, "items"),
        (5, "items"),
        ("/42/seven", 42),                # a category that is not a str is formatted
        ("/4.5/x", 4.5),
        (type("S", (str,), {})("/items/sub"), "items"),  # a str subclass
        ("/items/a" * 1000 + "/items/b", "items"),
        ("/" * 40 + "items/x", "items"),
        ("a\x00/items/\x00b/items/c", "items"),  # a NUL in the text does not end it
    ],
)
def test_extraction_edge_cases_match_re(brimvale, url, category):
    assert extracted(brimvale._DataManagementAPI, url, category) == reference(url, category)


def test_replacing_re_or_its_search_takes_effect_on_the_next_call(brimvale, monkeypatch):
    api = brimvale._DataManagementAPI
    seen = []
    original_search = re.search
    monkeypatch.setattr(re, "search", lambda pattern, string: seen.append(pattern) or original_search(pattern, string))
    assert api.extract_item_id_from_url("/items/A") == "A"
    assert seen == ["/items/([^/?]+)"]
    monkeypatch.setattr(re, "search", original_search)
    assert api.extract_item_id_from_url("/items/B") == "B" and seen == ["/items/([^/?]+)"]

    class OtherRe:
        @staticmethod
        def search(pattern, string):
            seen.append(("other", pattern))
            return None

    monkeypatch.setattr(brimvale, "re", OtherRe)
    assert api.extract_item_id_from_url("/items/C") is None
    assert seen[-1] == ("other", "/items/([^/?]+)")
    monkeypatch.setattr(brimvale, "re", re)
    assert api.extract_item_id_from_url("/items/D") == "D"


EXTRACTIONS = [
    ("extractor", lambda b: b._DataManagementAPI.extract_project_id_from_url("/projects/P/items/I")),
    ("handle urn", lambda b: b.BrimvaleFile("/projects/P/items/I").urn),
    ("handle project id", lambda b: b.BrimvaleFile("/projects/P/items/I").project_id),
]


@pytest.mark.parametrize("name, extract", EXTRACTIONS, ids=[e[0] for e in EXTRACTIONS])
def test_every_extraction_follows_a_replaced_search_or_re(brimvale, monkeypatch, name, extract):
    expected = extract(brimvale)
    seen = []
    original_search = re.search
    for _ in range(2):  # warm: the looks are kept
        assert extract(brimvale) == expected
    monkeypatch.setattr(re, "search", lambda pattern, string: seen.append(pattern) or original_search(pattern, string))
    assert extract(brimvale) == expected and len(seen) == 1
    monkeypatch.undo()
    assert extract(brimvale) == expected and len(seen) == 1
    fake_re = type(re)("re")
    fake_re.search = lambda pattern, string: seen.append(("fake", pattern)) or original_search(pattern, string)
    monkeypatch.setattr(brimvale, "re", fake_re)  # a plain module, not the library's
    assert extract(brimvale) == expected and seen[-1][0] == "fake"
    monkeypatch.delattr(brimvale, "re")
    with pytest.raises(NameError, match="^name 're' is not defined$"):
        extract(brimvale)


# ---- GraphQL documents ----

def test_replacing_dedent_takes_effect_on_the_next_call(brimvale, session, monkeypatch):
    session.add(*[ok({})] * 4)
    aec = brimvale._AECDataModelAPI
    aec.get_hubs(region="R", access_token="t")
    calls = []
    monkeypatch.setattr(brimvale, "dedent", lambda text: calls.append(text) or " changed ")
    aec.get_hubs(region="R", access_token="t")
    aec.get_element_groups_by_hub(hub_id="H", region="R", access_token="t")
    monkeypatch.setattr(brimvale, "dedent", textwrap.dedent)
    aec.get_hubs(region="R", access_token="t")
    queries = [r.kw("json")["query"] for r in session.requests]
    assert queries[1:3] == ["changed", "changed"] and len(calls) == 2
    assert queries[0] == queries[3] == textwrap.dedent(calls[0]).strip()
    assert queries[0].startswith("query GetHubs(") and not queries[0].endswith("\n")


def test_a_replaced_dedent_result_is_stripped_by_its_own_strip(brimvale, session, monkeypatch):
    class Text(str):
        def strip(self):
            return "custom strip"

    monkeypatch.setattr(brimvale, "dedent", lambda text: Text(text))
    session.add(ok({}))
    brimvale._AECDataModelAPI.get_hubs(region="R", access_token="t")
    assert session.requests[0].kw("json")["query"] == "custom strip"


# ---- what goes into paths, headers and filters ----

WIDE = ["é", "ÿ", "中文", "😀", "a\U0010ffffb", "Ω/", "x😀/y?z#"]


def escaped(identifier):
    return identifier.replace("/", "%2F").replace("?", "%3F").replace("#", "%23")


@pytest.mark.parametrize(
    "identifier, in_path",
    [("a/b/c", "a%2Fb%2Fc"), ("a?b?c", "a%3Fb%3Fc"), ("#a#b#", "%23a%23b%23"), ("//", "%2F%2F"),
     ("a/b?c#d/e", "a%2Fb%3Fc%23d%2Fe")] + [(w, escaped(w)) for w in WIDE],
)
def test_every_identifier_of_every_request(brimvale, session, identifier, in_path):
    api = brimvale._DataManagementAPI
    session.add(*[ok({})] * 7)
    api.get_item_tip(project_id=identifier, item_id="I", access_token="t")
    api.get_item_tip(project_id="P", item_id=identifier, access_token="t")
    api.get_signed_s3_url(bucket_key=identifier, object_key="O", access_token="t")
    api.get_signed_s3_url(bucket_key="B", object_key=identifier, access_token="t")
    api.get_hub(hub_id=identifier, access_token="t")
    api.get_project(hub_id=identifier, project_id="P", access_token="t")
    api.get_project(hub_id="H", project_id=identifier, access_token="t")
    assert session.urls == [
        f"{API}/data/v1/projects/{in_path}/items/I/tip",
        f"{API}/data/v1/projects/P/items/{in_path}/tip",
        f"{API}/oss/v2/buckets/{in_path}/objects/O/signeds3download",
        f"{API}/oss/v2/buckets/B/objects/{in_path}/signeds3download",
        f"{API}/project/v1/hubs/{in_path}",
        f"{API}/project/v1/hubs/{in_path}/projects/P",
        f"{API}/project/v1/hubs/H/projects/{in_path}",
    ]


def token_of(text):
    """The text as a token where a header can carry it (Latin-1), else a plain one."""
    return text if max(map(ord, text)) < 256 else "t"


@pytest.mark.parametrize("text", WIDE)
def test_wide_text_in_headers_variables_and_filters(brimvale, session, text):
    session.add(ok({}), ok({}), ok({}))
    token = token_of(text)
    brimvale._DataManagementAPI.get_hubs(access_token=token)
    brimvale._AECDataModelAPI.get_element_groups_by_hub(hub_id=text, region=text, access_token=token, file_urn=text)
    brimvale._AECDataModelAPI.get_hubs(region=text, access_token=token, cursor=text)
    get, groups, hubs = session.requests
    assert get.kw("headers") == {"Authorization": "Bearer " + token}
    assert list(groups.kw("headers").items()) == [("Authorization", "Bearer " + token), ("Region", text)]
    assert groups.kw("json")["variables"] == {"hubId": text, "pagination": {},
                                              "filter": {"query": f"metadata.fileUrn=='{text}'"}}
    assert hubs.kw("json")["variables"] == {"pagination": {"cursor": text}}


@pytest.mark.parametrize("text", WIDE)
def test_wide_text_through_the_handle(brimvale, session, text):
    url = f"https://x/{text}/projects/P{text}/items/I{text}?v"
    session.add(ok({"data": {"id": "v"}}))
    file = brimvale.BrimvaleFile(url)
    assert (file.project_id, file.urn) == (reference(url, "projects"), reference(url, "items"))
    file.get_latest_version(token_of(text))
    assert session.urls == [f"{API}/data/v1/projects/{escaped(file.project_id)}/items/{escaped(file.urn)}/tip"]
    assert session.requests[0].kw("headers") == {"Authorization": f"Bearer {token_of(text)}"}


def runtime(name):
    """A keyword name made at run time: equal to the parameter's name, not the same object."""
    made = "".join(list(name))
    assert made == name and made is not sys.intern(name)
    return made


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b._DataManagementAPI.get_item_tip(**{runtime("project_id"): "P", runtime("item_id"): "I",
                                                       runtime("access_token"): "t"}),
        lambda b: b._DataManagementAPI.get_project(**{runtime("access_token"): "t", runtime("project_id"): "P",
                                                      runtime("hub_id"): "H"}),
        lambda b: b._AECDataModelAPI._send_request("query", **{runtime("region"): "R",
                                                                   runtime("access_token"): "t"}),
        lambda b: b._AECDataModelAPI.get_element_groups_by_hub(**{runtime("hub_id"): "H", runtime("region"): "R",
                                                                  runtime("access_token"): "t",
                                                                  runtime("cursor"): "c"}),
        lambda b: b.BrimvaleFile(**{runtime("url"): "https://x/projects/P/items/I"}).get_latest_version(
            **{runtime("access_token"): "t"}),
    ],
)
def test_keyword_names_made_at_run_time(brimvale, session, call):
    session.add(ok({"data": {"id": "v"}}))
    call(brimvale)
    [request] = session.requests
    assert request.url.startswith(API)
    assert request.kw("headers")["Authorization"] == "Bearer t"


def test_run_time_keyword_names_in_argument_errors(brimvale):
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'bogus'"):
        brimvale._DataManagementAPI.get_hubs(**{runtime("access_token"): "t", runtime("bogus"): 1})
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'url'"):
        brimvale.BrimvaleFile.__init__(object(), "u", **{runtime("url"): "v"})


def test_a_function_renamed_many_times_keeps_every_name(brimvale):
    import gc

    function = brimvale.BrimvaleFile.get_hub_id
    name, qualname = function.__name__, function.__qualname__

    def rename(i):
        # Names made here and dropped: the function must hold its own references.
        function.__name__, function.__qualname__ = "".join(["name", str(i)]), "".join(["Q.name", str(i)])
        assert (function.__name__, function.__qualname__) == (f"name{i}", f"Q.name{i}")

    try:
        for i in range(200):
            rename(i)
        gc.collect()
        before = sys.getallocatedblocks()
        for i in range(10_000):
            rename(i)
        gc.collect()
        assert sys.getallocatedblocks() - before < 100
        assert (function.__name__, function.__qualname__) == ("name9999", "Q.name9999")
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            function.__name__ = 5
        assert function.__name__ == "name9999"
    finally:
        function.__name__, function.__qualname__ = name, qualname
    assert brimvale.BrimvaleFile.get_hub_id.__qualname__ == "BrimvaleFile.get_hub_id"


def test_a_property_replaced_on_a_subclass_is_read_by_the_handle(brimvale, session):
    class Renamed(brimvale.BrimvaleFile):
        @property
        def urn(self):
            return "urn-from-subclass"

    session.add(ok({"data": {"id": "v"}}))
    Renamed("https://x/projects/P/items/I").get_latest_version("t")
    assert session.urls == [f"{API}/data/v1/projects/P/items/urn-from-subclass/tip"]


def test_attributes_behind_descriptors_go_through_them(brimvale):
    writes = []

    class Watched(brimvale.BrimvaleFile):
        @property
        def _url(self):
            return "https://x/projects/FROM-PROPERTY/items/I"

        @_url.setter
        def _url(self, value):
            writes.append(value)

    file = Watched("https://x/projects/P/items/I")
    assert writes == ["https://x/projects/P/items/I"]
    assert file.url == "https://x/projects/FROM-PROPERTY/items/I" and file.project_id == "FROM-PROPERTY"


def test_a_metaclass_attribute_is_read_through_the_metaclass(brimvale, session):
    class Meta(type):
        @property
        def DATA_BASE_URL(cls):
            return "http://from-metaclass"

    Sub = Meta("Sub", (brimvale._DataManagementAPI,), {})
    session.add(ok({}))
    Sub.get_item_tip(project_id="P", item_id="I", access_token="t")
    assert session.urls == ["http://from-metaclass/projects/P/items/I/tip"]


def test_failures_keep_the_traceback_entries_of_both_functions(brimvale):
    with pytest.raises(TypeError) as info:
        brimvale._DataManagementAPI.extract_item_id_from_url(None)
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__) if e.filename.startswith("src/")]
    assert names == ["zelmar.external.brimvale._DataManagementAPI.extract_item_id_from_url",
                     "zelmar.external.brimvale._DataManagementAPI._extract_element_id_from_url"]


def test_replacing_base64_or_its_encoder_takes_effect_on_the_next_call(monkeypatch):
    import base64
    from io import BytesIO

    import zelmar.external.dunmere as dunmere

    analysis = dunmere.DunmereAnalysis(BytesIO(b"abc"))
    assert analysis._generate_job_content().body == "YWJj"
    monkeypatch.setattr(base64, "b64encode", lambda data: b"from-b64encode")
    assert analysis._generate_job_content().body == "from-b64encode"
    monkeypatch.undo()

    class OtherBase64:
        @staticmethod
        def b64encode(data):
            return b"from-module"

    monkeypatch.setattr(dunmere, "base64", OtherBase64)
    assert analysis._generate_job_content().body == "from-module"
    monkeypatch.undo()
    assert analysis._generate_job_content().body == "YWJj"
