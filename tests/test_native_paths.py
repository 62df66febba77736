"""The native paths and their guards: the same results, messages and exceptions as the code
they stand for, and the code itself as soon as what they stand for is replaced."""
import random
import re
import sys
import textwrap
import traceback

import pytest
from fakes import ok, status

API = "https://api.brimvale.example"

# ---- URL extraction against re.search ----

LITERAL_CATEGORIES = ["projects", "items", "buckets", "objects", "", "item", "s", "items/items", "é", "中文", "😀",
                      "pro jects", "x\x00y", "a\nb", "%2F", "#", "/", "//", "a#b", "Items", "ïtems", "🙂🙃"]
# Categories with regular-expression syntax: searched by re itself, errors included.
PATTERN_CATEGORIES = [".", "it.ms", "a*", "(", "[x]", "a|b", "x+", "?", "{2}", "\\d", "^", "$", "items)", "[",
                      "(?P<x>a)", "\\", ".*", "i{1,2}tems"]
PIECES = ["/", "//", "?", "#", "%2F", "%3A", "é", "中", "😀", "\x00", "\n", " ", "a", "b", "-", ".", "=", "&",
          "items", "projects", "buckets", "objects", "it", "ems", "ms/", "/?", "?/", "%", "ä", "\U0010ffff"]


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


def generated(count, seed):
    rng = random.Random(seed)
    categories = LITERAL_CATEGORIES + PATTERN_CATEGORIES
    for _ in range(count):
        category = rng.choice(categories)
        parts = []
        for _ in range(rng.randint(0, 12)):
            roll = rng.random()
            if roll < 0.25:
                parts.append(f"/{category}/")  # the category itself, repeated
            elif roll < 0.35:
                parts.append(f"/{rng.choice(categories)}")
            else:
                parts.append(rng.choice(PIECES))
        yield "".join(parts), category


def test_native_extraction_matches_re_search_on_generated_urls(brimvale):
    api = brimvale._DataManagementAPI
    differences, total, found = [], 0, 0
    for url, category in generated(120_000, seed=20261208):
        expected = reference(url, category)
        actual = extracted(api, url, category)
        total += 1
        found += isinstance(expected, str)
        if actual != expected or type(actual) is not type(expected):
            differences.append((url, category, expected, actual))
    assert total >= 100_000
    assert found > total // 10  # the cases exercise matches, not only misses
    assert differences == []


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
        ("x" * 15 + "/items/y", "items"),  # around the sixteen-character blocks
        ("x" * 16 + "/items/y", "items"),
        ("x" * 17 + "/items//items/y", "items"),
    ],
)
def test_extraction_edge_cases_match_re(brimvale, url, category):
    assert extracted(brimvale._DataManagementAPI, url, category) == reference(url, category)


def test_identifiers_ending_around_the_blocks_match_re(brimvale):
    # Every place an identifier can end relative to the sixteen-character blocks and the
    # string's last block, for narrow and wide text.
    api = brimvale._DataManagementAPI
    differences = []
    for category in ["items", "", "x", "é", "😀"]:
        for prefix in range(0, 34):
            for length in range(1, 20):
                for suffix in ["", "?q", "/b", "//"]:
                    url = "p" * prefix + f"/{category}/" + "i" * length + suffix
                    if extracted(api, url, category) != reference(url, category):
                        differences.append(url)
    assert differences == []


def test_literal_categories_do_not_go_through_re(brimvale, monkeypatch):
    compiled = []
    original = re._compile
    monkeypatch.setattr(re, "_compile", lambda *a: compiled.append(a[0]) or original(*a))
    api = brimvale._DataManagementAPI
    assert api.extract_item_id_from_url("/projects/P/items/I?x") == "I"
    assert compiled == []
    assert api._extract_element_id_from_url(url="/pXojects/P-1", element_category="p.ojects") == "P-1"
    assert compiled == ["/p.ojects/([^/?]+)"]


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


@pytest.mark.parametrize("text", WIDE)
def test_wide_text_in_headers_variables_and_filters(brimvale, session, text):
    session.add(ok({}), ok({}), ok({}))
    brimvale._DataManagementAPI.get_hubs(access_token=text)
    brimvale._AECDataModelAPI.get_element_groups_by_hub(hub_id=text, region=text, access_token=text, file_urn=text)
    brimvale._AECDataModelAPI.get_hubs(region=text, access_token=text, cursor=text)
    get, groups, hubs = session.requests
    assert get.kw("headers") == {"Authorization": "Bearer " + text}
    assert list(groups.kw("headers").items()) == [("Authorization", "Bearer " + text), ("Region", text)]
    assert groups.kw("json")["variables"] == {"hubId": text, "pagination": {},
                                              "filter": {"query": f"metadata.fileUrn=='{text}'"}}
    assert hubs.kw("json")["variables"] == {"pagination": {"cursor": text}}


@pytest.mark.parametrize("text", WIDE)
def test_wide_text_through_the_handle(brimvale, session, text):
    url = f"https://x/{text}/projects/P{text}/items/I{text}?v"
    session.add(ok({"data": {"id": "v"}}))
    file = brimvale.BrimvaleFile(url)
    assert (file.project_id, file.urn) == (reference(url, "projects"), reference(url, "items"))
    file.get_latest_version(text)
    assert session.urls == [f"{API}/data/v1/projects/{escaped(file.project_id)}/items/{escaped(file.urn)}/tip"]
    assert session.requests[0].kw("headers") == {"Authorization": f"Bearer {text}"}


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


# ---- direct calls between the module's members, against the call through the attribute ----

def forwarding(api):
    """A subclass whose members forward to the module's own: every call takes the long way."""

    def forward(name):
        member = vars(api)[name]
        if isinstance(member, staticmethod):
            function = member.__func__
            return staticmethod(lambda *a, **k: function(*a, **k))
        function = member.__func__
        return classmethod(lambda cls, *a, **k: function(cls, *a, **k))

    members = {name: forward(name) for name, member in vars(api).items()
               if isinstance(member, (staticmethod, classmethod))}
    return type(api.__name__, (api,), members)


URLS = ["https://x/projects/P-1/items/I-2", "https://x/items/I", "https://x/projects/P", "",
        "https://x/buckets/B/objects/O%2F1", "/projects/a/projects/b/items/😀"]


def outcome(function):
    try:
        return ("value", function())
    except Exception as e:  # noqa: BLE001
        return ("raises", type(e), str(e), [(type(c), str(c)) for c in iter_causes(e)])


def iter_causes(e):
    e = e.__cause__
    while e is not None:
        yield e
        e = e.__cause__


@pytest.mark.parametrize("url", URLS)
def test_direct_member_calls_match_the_long_way(brimvale, session, monkeypatch, url):
    answers = [ok({"data": [{"id": "H-1", "attributes": {"region": "R"}}]}), ok({}), ok({"data": {"id": "v"}}),
               ok({"data": {"hubs": {"results": [{"id": "A"}], "pagination": {"cursor": None}}}}),
               ok({"data": {"elementGroupsByHub": {"results": [{"id": "G"}]}}})]

    def journey():
        file = brimvale.BrimvaleFile(url)
        steps = [outcome(lambda: file.project_id), outcome(lambda: file.urn)]
        for name in ["get_hub_id", "get_region", "get_latest_version", "get_aec_data_model_element_group_id"]:
            steps.append(outcome(lambda: getattr(file, name)("t")))
        api = brimvale._DataManagementAPI
        steps += [outcome(lambda: getattr(api, f"extract_{k}_from_url")(url))
                  for k in ["project_id", "item_id", "bucket_key", "object_key"]]
        return steps

    session.add(*answers)
    direct = journey()
    direct_requests = [(r.method, r.args, r.kwargs) for r in session.requests]
    session.requests.clear()
    session.script.clear()
    monkeypatch.setattr(brimvale, "_DataManagementAPI", forwarding(brimvale._DataManagementAPI))
    monkeypatch.setattr(brimvale, "_AECDataModelAPI", forwarding(brimvale._AECDataModelAPI))
    session.add(*answers)
    assert [repr(step) for step in journey()] == [repr(step) for step in direct]
    assert [(r.method, r.args, r.kwargs) for r in session.requests] == direct_requests


def test_a_member_reinitialised_in_place_is_called_as_it_now_is(brimvale):
    member = vars(brimvale._DataManagementAPI)["_extract_element_id_from_url"]
    original = member.__func__
    try:
        member.__init__(lambda **kw: "replaced in place")
        assert brimvale._DataManagementAPI.extract_item_id_from_url("/items/x") == "replaced in place"
    finally:
        member.__init__(original)
    assert brimvale._DataManagementAPI.extract_item_id_from_url("/items/x") == "x"


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


@pytest.mark.parametrize("change", ["wrapped init", "replaced class"])
def test_version_records_are_made_as_the_class_now_says(brimvale, session, monkeypatch, change):
    version_class = brimvale.BrimvaleFileVersion
    session.add(ok({"data": {"id": "v1"}}), ok({"data": {"id": "v1"}}))
    made_directly = brimvale.BrimvaleFile("https://x/projects/P/items/I").get_latest_version("t")
    calls = []
    if change == "wrapped init":
        original = version_class.__init__
        monkeypatch.setattr(version_class, "__init__", lambda self, *a, **k: calls.append(k) or original(self, *a, **k))
    else:
        class Sub(version_class):
            def __init__(self, *a, **k):
                calls.append(k)
                super().__init__(*a, **k)
        monkeypatch.setattr(brimvale, "BrimvaleFileVersion", Sub)
    made_by_call = brimvale.BrimvaleFile("https://x/projects/P/items/I").get_latest_version("t")
    assert calls == [{"_access_token": "t", "_data": {"id": "v1"}}]
    assert vars(made_by_call) == vars(made_directly) == {"_access_token": "t", "_data": {"id": "v1"}}
    if change != "replaced class":
        assert made_by_call == made_directly and repr(made_by_call) == repr(made_directly)
    assert repr(made_directly) == "BrimvaleFileVersion(_data={'id': 'v1'})"


def test_a_class_given_its_own_new_is_called_as_written():
    # In a child interpreter: a class whose __new__ was set keeps the slot even once the
    # attribute is deleted again.
    from support import run_python

    result = run_python("""
        import zelmar.core
        from zelmar.external import brimvale
        class Session:
            def get(self, url, headers, timeout):
                class Response:
                    def raise_for_status(self): pass
                    def json(self): return {"data": {"id": "v1"}}
                return Response()
        zelmar.core._Context.session_with_retries = Session()
        calls = []
        brimvale.BrimvaleFileVersion.__new__ = lambda cls, *a, **k: calls.append(k) or object.__new__(cls)
        version = brimvale.BrimvaleFile("https://x/projects/P/items/I").get_latest_version("t")
        print(calls, vars(version))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[{'_access_token': 't', '_data': {'id': 'v1'}}] {'_access_token': 't', '_data': {'id': 'v1'}}"


def test_failures_in_direct_calls_keep_their_traceback_entries(brimvale):
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


# ---- kept verdicts: a class changed after a call is seen as it now is ----

def changes_after_warm_calls(brimvale):
    """(what is changed, the change, what the next call must then show)"""
    api = brimvale._DataManagementAPI

    def base_url_on_class(Sub, Handle):
        Sub.DATA_BASE_URL = "http://changed"

    def base_url_on_base(Sub, Handle):
        api.DATA_BASE_URL = "http://changed-in-base"

    def extractor_on_class(Sub, Handle):
        Sub._extract_element_id_from_url = staticmethod(lambda **kw: "from-new-member")

    def property_on_class(Sub, Handle):
        Handle.urn = property(lambda self: "urn-from-new-property")

    def descriptor_on_class(Sub, Handle):
        Handle._url = property(lambda self: "https://x/projects/FROM-DESCRIPTOR/items/I", lambda self, value: None)

    return [
        (base_url_on_class, lambda urls, file: urls[-1].startswith("http://changed/projects/")),
        (base_url_on_base, lambda urls, file: urls[-1].startswith("http://changed-in-base/projects/")),
        (extractor_on_class, lambda urls, file: "/items/from-new-member/" in urls[-1]),
        (property_on_class, lambda urls, file: "/items/urn-from-new-property/" in urls[-1]),
        (descriptor_on_class, lambda urls, file: "/projects/FROM-DESCRIPTOR/" in urls[-1]),
    ]


@pytest.mark.parametrize("index", range(5))
def test_a_class_changed_after_warm_calls_is_seen_as_it_now_is(brimvale, session, monkeypatch, index):
    change, holds = changes_after_warm_calls(brimvale)[index]
    monkeypatch.setattr(brimvale._DataManagementAPI, "DATA_BASE_URL", brimvale._DataManagementAPI.DATA_BASE_URL)
    Sub = type("Sub", (brimvale._DataManagementAPI,), {})
    Handle = type("Handle", (brimvale.BrimvaleFile,), {})
    monkeypatch.setattr(brimvale, "_DataManagementAPI", Sub)
    session.add(*[ok({"data": {"id": "v"}})] * 6)
    for _ in range(3):  # every kept verdict warm
        file = Handle("https://x/projects/P/items/I")
        file.get_latest_version("t")
    assert session.urls[-1] == f"{API}/data/v1/projects/P/items/I/tip"
    change(Sub, Handle)
    file = Handle("https://x/projects/P/items/I")
    file.get_latest_version("t")
    assert holds(session.urls, file), session.urls[-1]


# ---- constructing a handle ----

URL = "https://x/projects/P/items/I"

CONSTRUCTIONS = [
    ((URL,), {}),
    ((), {"url": URL}),
    ((), {}),
    ((URL, "extra"), {}),
    ((URL,), {"url": URL}),
    ((), {"url": URL, "other": 1}),
    ((), {"self": 1, "url": URL}),
    ((5,), {}),  # stored as given
    (("x" * 20,), {}),
]


def constructed(make):
    try:
        obj = make()
    except Exception as e:  # noqa: BLE001 - compared, not handled
        entries = [entry.name for entry in traceback.extract_tb(e.__traceback__) if entry.filename.startswith("src/")]
        return ("raises", type(e), str(e), entries)
    return (type(obj), list(vars(obj).items()))


@pytest.mark.parametrize("args, kwargs", CONSTRUCTIONS)
def test_constructing_a_handle_matches_the_generic_type_call(brimvale, args, kwargs):
    cls = brimvale.BrimvaleFile
    expected = constructed(lambda: type.__call__(cls, *args, **kwargs))
    assert constructed(lambda: cls(*args, **kwargs)) == expected
    if not kwargs and len(args) == 1:
        assert constructed(lambda: cls(args[0])) == expected  # a plain call, no star
    if expected[0] == "raises":
        assert expected[3] == ["zelmar.external.brimvale.BrimvaleFile.__init__"]
    else:
        assert [key for key, _ in expected[1]] == ["_url", "_latest_version", "_hub", "_aec_data_model_element_group"]


def test_a_handle_class_changed_after_warm_calls_is_constructed_as_it_now_is(brimvale, monkeypatch):
    cls = brimvale.BrimvaleFile
    for _ in range(3):
        cls(URL)
    calls = []
    original = cls.__init__
    monkeypatch.setattr(cls, "__init__", lambda self, url: calls.append(url) or original(self, url))
    assert vars(cls(URL))["_url"] == URL and calls == [URL]
    monkeypatch.setattr(cls, "__init__", lambda self, url: 1)
    with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
        cls(URL)
    monkeypatch.undo()
    assert vars(cls(URL))["_url"] == URL and calls == [URL]

    monkeypatch.setattr(cls, "__abstractmethods__", frozenset({"missing"}), raising=False)
    with pytest.raises(TypeError, match="abstract"):
        cls(URL)
    monkeypatch.undo()
    assert type(cls(URL)) is cls

    class Sub(cls):
        def __init__(self, url, more):
            super().__init__(url)
            self.more = more

    assert vars(Sub(URL, 1)) == {"_url": URL, "_latest_version": None, "_hub": None,
                                 "_aec_data_model_element_group": None, "more": 1}


def test_a_handle_class_given_its_own_new_is_constructed_through_it():
    # In a child interpreter: the class keeps the slot once the attribute is deleted again.
    from support import run_python

    result = run_python("""
        from zelmar.external import brimvale
        cls = brimvale.BrimvaleFile
        cls("https://x/projects/P/items/I")
        calls = []
        def new(klass, *args, **kwargs):
            calls.append((args, kwargs))
            return object.__new__(klass)
        cls.__new__ = new
        handle = cls("u", )
        other = cls(url="v")
        cls.__new__ = lambda klass, *a, **k: "not a handle"
        print(calls, vars(handle)["_url"], vars(other)["_url"], cls("w"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[(('u',), {}), ((), {'url': 'v'})] u v not a handle"


# ---- the download's keys taken in place ----

OSS = "https://api.brimvale.example/oss/v2"

STORAGE_URLS = [
    f"{OSS}/buckets/BKT-7/objects/OBJ-9.dat",
    f"{OSS}/buckets/B/objects/dir%2Fname.dat",
    f"{OSS}/buckets/B/objects/o?query=1",
    f"{OSS}/buckets/B#frag/objects/o#x",         # "#" is escaped: the long way
    f"{OSS}/buckets/./objects/o",                 # dot segments are refused: the long way
    f"{OSS}/buckets/B/objects/%2E%2e",
    f"{OSS}/buckets/.../objects/...",             # three dots are a name
    f"{OSS}/buckets/é/objects/😀",                 # wide text: the long way
    f"{OSS}/buckets/é/objects/ü",                 # Latin-1 text
    # Two-byte characters whose first bytes spell "/buckets/KK/objects/OO": no key in the text.
    (b"/buckets/KK/objects/OO/x" + b"zz" * 12).decode("utf-16-le"),
    f"{OSS}/objects/o/buckets/b",                 # order of the segments does not matter
    "/buckets//buckets/b/objects//objects/o",     # an empty key is skipped, as by re
    "/buckets/b/objects/o",                       # shorter than a block
    f"{OSS}/buckets/b",                           # no object key
    f"{OSS}/objects/o",                           # no bucket key
    "",
    "x" * 40 + "/buckets/" + "b" * 30 + "/objects/" + "o" * 17,
]

ANSWERS = {
    "ok": lambda: ok({"url": "https://download.example/x"}),
    "403": lambda: status(403),
    "500": lambda: status(500),
    "no url": lambda: ok({"other": 1}),
    "raised": lambda: RuntimeError("session down"),
}


def download(brimvale, session, storage_url, token, answer):
    """What get_file does, as seen from outside: requests, result or exception chain, and
    the module's traceback entries (name and line) on the way."""
    session.requests.clear()
    session.script.clear()
    session.add(ANSWERS[answer]())
    version = brimvale.BrimvaleFileVersion(token, {"relationships": {"storage": {"meta": {"link": {"href": storage_url}}}}})
    try:
        outcome = ("file", version.get_file().url)
    except Exception as e:  # noqa: BLE001 - compared, not handled
        outcome = []
        while e is not None:
            entries = [(entry.name, entry.lineno) for entry in traceback.extract_tb(e.__traceback__)
                       if entry.filename.startswith("src/")]
            outcome.append((type(e), str(e), entries))
            e = e.__cause__
    sent = [(r.method, r.args, r.kwargs) for r in session.requests]
    return outcome, sent


@pytest.mark.parametrize("storage_url", STORAGE_URLS)
def test_keys_in_place_match_the_extractors(brimvale, session, monkeypatch, storage_url):
    # The long way is taken when the module's re is not the library's module: a plain
    # module with the library's search gives the same answers through the extractors.
    long_way_re = type(re)("re")
    long_way_re.search = re.search
    for token in ["tok", "bad\ntoken", 5]:
        for answer in ANSWERS:
            in_place = download(brimvale, session, storage_url, token, answer)
            with monkeypatch.context() as m:
                m.setattr(brimvale, "re", long_way_re)
                assert download(brimvale, session, storage_url, token, answer) == in_place, (token, answer)


def replaced_download_members(api, seen):
    """A subclass of the API per member the in-place keys stand for, each recording its call
    and doing what the member does."""
    def forwarding(name, kind):
        original = api.__dict__[name].__func__

        def member(*args, **kwargs):
            seen.append(name)
            return original(*args, **kwargs)

        return type("Sub", (api,), {name: kind(member)})

    return {
        "bucket extractor": forwarding("extract_bucket_key_from_url", classmethod),
        "object extractor": forwarding("extract_object_key_from_url", classmethod),
        "static search": forwarding("_extract_element_id_from_url", staticmethod),
        "signed url request": forwarding("get_signed_s3_url", classmethod),
    }


@pytest.mark.parametrize("member", ["bucket extractor", "object extractor", "static search", "signed url request"])
def test_keys_in_place_follow_replaced_members(brimvale, session, monkeypatch, member):
    seen = []
    sub = replaced_download_members(brimvale._DataManagementAPI, seen)[member]
    monkeypatch.setattr(brimvale, "_DataManagementAPI", sub)
    outcome, sent = download(brimvale, session, f"{OSS}/buckets/B/objects/O", "t", "ok")
    assert outcome == ("file", "https://download.example/x")
    assert sent[0][1] == (f"{OSS}/buckets/B/objects/O/signeds3download",)
    [name] = [key for key in vars(sub) if not key.startswith("__")]
    assert seen == [name] * (2 if member == "static search" else 1)  # the static search serves both keys
