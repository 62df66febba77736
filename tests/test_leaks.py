"""No reference leaks: each operation, repeated, leaves the interpreter's block count flat, and
on a debug interpreter (make refcheck) its total of references too."""
import gc
import sys
from array import array

import pytest
from fakes import FakeResponse

import zelmar.core

REPEAT = 10_000
WARM_UP = 2_000
# Exact up to 3.13. From 3.14 the interpreter now and then takes or drops a reference of its
# own (specialisation, exception machinery), a few at most, where a leak shows one per call.
REF_NOISE = 0 if sys.version_info < (3, 14) else 5
SLACK = 200  # caches warming up; a leak of one object per call shows as thousands

URL = "https://x/projects/P-1/items/I-1"
API = "https://api.brimvale.example"
HUBS = FakeResponse({"data": [{"id": "H-0"}, {"name": "no id"}, {"id": "H-1", "attributes": {"region": "EU"}}]})
FORBIDDEN = FakeResponse({}, status=403)
EMPTY = FakeResponse({})
TIP = FakeResponse({"data": {"id": "v", "relationships": {"storage": {"meta": {"link": {"href": f"{API}/oss/v2/buckets/B/objects/O"}}}}}})
SIGNED = FakeResponse({"url": "https://download.example/o"})
AEC_PAGE_1 = FakeResponse({"data": {"hubs": {"results": [{"id": "A"}], "pagination": {"cursor": "c"}}}})
AEC_PAGE_2 = FakeResponse({"data": {"hubs": {"results": [{"id": "B"}], "pagination": {"cursor": None}}}})
NO_GROUPS = FakeResponse({"data": {"elementGroupsByHub": {"results": []}}})
GROUPS = FakeResponse({"data": {"elementGroupsByHub": {"results": [{"id": "G"}]}}})

ROUTES = {
    f"{API}/project/v1/hubs": HUBS,
    f"{API}/project/v1/hubs/H-0/projects/P-1": FORBIDDEN,
    f"{API}/project/v1/hubs/H-1/projects/P-1": EMPTY,
    f"{API}/project/v1/hubs/H%2F1": EMPTY,
    f"{API}/data/v1/projects/P-1/items/I-1/tip": TIP,
    f"{API}/oss/v2/buckets/B/objects/O/signeds3download": SIGNED,
}


class QuietSession:
    """Answers by URL and body without keeping anything."""

    def get(self, url, headers, timeout):
        return ROUTES.get(url, FORBIDDEN)

    def post(self, url, headers, json, timeout):
        variables = json.get("variables", {})
        if "hubId" in variables:
            return GROUPS if variables["hubId"] == "B" else NO_GROUPS
        return AEC_PAGE_2 if variables["pagination"].get("cursor") else AEC_PAGE_1


def raises(exc_type, function):
    def run():
        try:
            function()
        except exc_type:
            return
        raise AssertionError("no exception")

    return run


def operations(b):
    File, Version, DM, AEC = b.BrimvaleFile, b.BrimvaleFileVersion, b._DataManagementAPI, b._AECDataModelAPI

    Cycle = type("Cycle", (File,), {"_url": File.urn})

    def located():
        file = File(URL)
        file._hub = {"id": "H", "attributes": {"region": "EU"}}
        return file

    return {
        "offline members": lambda: (File(URL).url, File(URL).urn, File(URL).project_id),
        "missing urn": raises(ValueError, lambda: File("https://x/projects/P").urn),
        "extractors": lambda: (DM.extract_bucket_key_from_url(URL), DM._extract_element_id_from_url(url=URL, element_category="items")),
        "hub search": lambda: (File(URL).get_hub_id("t"), File(URL).get_region("t")),
        "no hub": raises(ValueError, lambda: File("https://x/items/I").get_hub_id("t")),
        "latest version and download": lambda: File(URL).get_latest_version("t").get_file(),
        "version members": lambda: (Version("t", {"id": 1, "attributes": {}}).urn, Version("t", {}).storage_url),
        "version failures": raises(ValueError, lambda: Version("t", {}).get_file()),
        "requests": lambda: (DM.get_hub(hub_id="H/1", access_token="t"), DM.get_item_tip(project_id="P-1", item_id="I-1", access_token="t")),
        "graphql": lambda: (AEC.get_hubs(region="EU", access_token="t", limit=5, cursor="c"),
                            AEC.get_element_groups_by_hub(hub_id="B", region="EU", access_token="t", file_urn="u")),
        "graphql refusal": raises(ValueError, lambda: AEC.get_element_groups_by_hub(hub_id="B", region="EU", access_token="t", limit=1, cursor="c")),
        "element group lookup": lambda: located().get_aec_data_model_element_group_id("t"),
        "argument errors": raises(TypeError, lambda: File.get_hub_id(File(URL), "t", extra=1)),
        "missing global": raises(NameError, lambda: eval("File(URL).get_latest_version('t')", {"File": File, "URL": URL})),
        "except clause refused": raises(TypeError, lambda: File("https://x/items/I").get_latest_version("t")),
        "recursion": raises(RecursionError, lambda: Cycle.__new__(Cycle).urn),
    }


def dunmere_operations():
    from io import BytesIO

    import zelmar.external.dunmere as d

    Analysis = d.DunmereAnalysis
    done = Analysis(BytesIO(b"Dunmere input file\n"))
    done.execute(timeout=10)

    class TextFile:
        def getvalue_binary(self):
            return "text"

    def odd_map_entries():
        # Unpacking errors, a result that cannot be raised, and a class raised without arguments.
        d._dseries_exception_map = {"three": (1, 2, 3), "not raisable": ("t", lambda text: 5),
                                    "class": ("t", lambda text: KeyError)}
        for message in ("three", "not raisable", "class"):
            raises(Exception, lambda: done._handle_execution_error(message))()

    return {
        "construct": lambda: Analysis(input_file=BytesIO(b"x")),
        "job content": lambda: (Analysis(BytesIO(b"abc" * 100))._generate_job_content(),
                                Analysis(zelmar.core.File.from_data(b"abc"))._generate_job_content()),
        "job content error": raises(TypeError, lambda: Analysis(TextFile())._generate_job_content()),
        "mapped error": raises(ValueError, lambda: done._handle_execution_error("ERROR: input file is empty")),
        "unmapped message": lambda: done._handle_execution_error("nothing"),
        "odd map entries": odd_map_entries,
        "output files": lambda: (done.get_output_file(), done.get_output_file(".err"), done.get_output_file(as_file=True)),
        "whole run": lambda: Analysis(BytesIO(b"Dunmere input file\n")).execute(timeout=10),
        "failed run": raises(ValueError, lambda: Analysis(BytesIO(b"")).execute(timeout=10)),
        "argument errors": raises(TypeError, lambda: done.get_output_file(".sto", True)),
    }


DUNMERE_NAMES = ["construct", "job content", "job content error", "mapped error", "unmapped message", "odd map entries",
                 "output files", "whole run", "failed run", "argument errors"]


def blocks():
    gc.collect()
    return sys.getallocatedblocks()


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(zelmar.core._Context, "session_with_retries", QuietSession())


NAMES = ["offline members", "missing urn", "extractors", "hub search", "no hub", "latest version and download",
         "version members", "version failures", "requests", "graphql", "graphql refusal", "element group lookup",
         "argument errors", "missing global", "except clause refused", "recursion"]


def reading(marks, i):
    """Blocks and references now, kept as C integers so that no object of theirs counts."""
    marks[i] = blocks()
    marks[i + 1] = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def repeat(operation, count):
    for _ in range(count):
        operation()


def check_flat(name, operation):
    # The warm-up runs the very loop and readings the measure does, long enough for the
    # interpreter to settle its own specialisations (3.14 keeps a reference or two for them,
    # once, after a few hundred calls).
    marks = array("q", [0] * 4)
    repeat(operation, WARM_UP)
    reading(marks, 0)
    if marks[0] == 0:
        pytest.skip("the allocator in use does not count blocks (PYTHONMALLOC=malloc)")
    repeat(operation, REPEAT)
    reading(marks, 2)
    growth, refs_growth = marks[2] - marks[0], marks[3] - marks[1]
    assert growth < SLACK, f"{name}: {growth} blocks more after {REPEAT} calls"
    assert abs(refs_growth) <= REF_NOISE, f"{name}: {refs_growth} references more after {REPEAT} calls"


@pytest.mark.parametrize("name", NAMES)
def test_no_leaks_brimvale(brimvale, quiet, monkeypatch, name):
    operation = operations(brimvale)[name]
    if name == "missing global":
        monkeypatch.delattr(brimvale, "BrimvaleFileVersion")
    if name == "except clause refused":
        monkeypatch.setattr(brimvale, "HTTPError", None)
    check_flat(name, operation)


@pytest.mark.parametrize("name", DUNMERE_NAMES)
def test_no_leaks_dunmere(monkeypatch, name):
    import zelmar.external.dunmere as d

    monkeypatch.setattr(d, "_dseries_exception_map", d._dseries_exception_map)  # restored afterwards
    check_flat(name, dunmere_operations()[name])
