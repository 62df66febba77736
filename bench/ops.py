"""Operations of the two modules with a null session (no I/O), for instruction counting.

`python ops.py compiled|plain NAME N` sets up, then runs operation NAME N times, either
through the compiled modules or through the same steps in plain Python (plain.py). The
runner beside this file counts the instructions of N and 2N runs under callgrind: their
difference per call is deterministic for a given build.
"""
import io
import sys

from zelmar.core import File, _Context
from zelmar.external import brimvale, dunmere

URL = "https://app.example/docs/files/projects/b.1234-abcd/items/urn%3Aitem.lineage%3AXYZ-42?view=1"
VERSION = {"id": "urn:v:1", "attributes": {"name": "a.sti"},
           "relationships": {"storage": {"meta": {"link": {"href":
               "https://api.example/oss/v2/buckets/wip/objects/abc%2Fdef.sti"}}}}}
SIGNED_URL_REQUEST = "https://api.example/oss/v2/buckets/wip/objects/abc%2Fdef.sti/signeds3download"

# name: what it measures
OPERATIONS = {
    "noop": "the loop that calls an operation, by itself",
    "raw_get": "one session call, raise_for_status, json: the floor of a request",
    "builtin_classmethod": "int.from_bytes(b'', 'big'): a builtin class method doing next to nothing",
    "extract_empty_url": "extract_item_id_from_url(''): the call and its checks, nothing to search or return",
    "extract_item_id_from_url": "_DataManagementAPI.extract_item_id_from_url(url)",
    "file_urn": "BrimvaleFile(url).urn",
    "get_item_tip": "_DataManagementAPI.get_item_tip(...)",
    "get_latest_version": "get_latest_version on a fresh handle",
    "download_floor": "the session call and File.from_url that version.get_file() wraps",
    "version_get_file": "version.get_file()",
    "aec_get_hubs": "_AECDataModelAPI.get_hubs(...)",
    "hub_id_50": "get_hub_id, 50 hubs, the last one holds the project",
    "element_group_100": "element group over 100 AEC hubs in 10 pages, the last one answers",
    "job_content_1MiB": "job content of 1 MiB",
}


class Resp:
    __slots__ = ("body",)

    def __init__(self, body):
        self.body = body

    def raise_for_status(self):
        return None

    def json(self):
        return self.body


class ConstSession:
    """Answers every request with one response."""

    def __init__(self, resp):
        self.resp = resp

    def get(self, url, headers=None, timeout=None):
        return self.resp

    def post(self, url, headers=None, json=None, timeout=None):
        return self.resp


class RouteSession:
    """Answers by address: 50 hubs (only the last holds the project), 100 AEC hubs over 10
    pages (only the last holds the element group)."""

    hubs = Resp({"data": [{"id": f"h{i}", "attributes": {"region": "US"}} for i in range(50)]})
    tip = Resp({"data": VERSION})
    ok = Resp({"data": {}})

    def get(self, url, headers=None, timeout=None):
        if url.endswith("/tip"):
            return self.tip
        if url.endswith("/hubs"):
            return self.hubs
        if "/hubs/" in url and "/projects/" in url:
            if url.split("/hubs/")[1].startswith("h49/"):
                return self.ok
            raise brimvale.HTTPError("403")
        return self.ok

    def post(self, url, headers=None, json=None, timeout=None):
        if "GetHubs" in json["query"]:
            cursor = json.get("variables", {}).get("pagination", {}).get("cursor")
            page = int(cursor or 0)
            return Resp({"data": {"hubs": {
                "results": [{"id": f"a{page}-{i}"} for i in range(10)],
                "pagination": {"cursor": str(page + 1) if page < 9 else None}}}})
        found = [{"id": "eg-1"}] if json["variables"]["hubId"] == "a9-9" else []
        return Resp({"data": {"elementGroupsByHub": {"results": found, "pagination": {"cursor": None}}}})


def raw_get(session):
    # The irreducible work of one request: the session call and the response's two methods.
    response = session.get(URL, headers={"Authorization": "Bearer t"}, timeout=10)
    response.raise_for_status()
    return response.json()


def download_floor(session):
    # What version.get_file() cannot do without: one request and the SDK's File.
    response = session.get(SIGNED_URL_REQUEST, headers={"Authorization": "Bearer t"}, timeout=10)
    response.raise_for_status()
    return File.from_url(response.json()["url"])


def setup(impl):
    if impl == "plain":
        import plain as module

        analysis_module = module
    else:
        module, analysis_module = brimvale, dunmere
    api, aec = module._DataManagementAPI, module._AECDataModelAPI
    const = ConstSession(Resp({"data": VERSION}))
    _Context.session_with_retries = const
    version = module.BrimvaleFile(URL).get_latest_version("t")
    tip = Resp({"data": VERSION})
    signed = Resp({"url": "https://download.example/x"})
    no_hubs = Resp({"data": {"hubs": {"results": [], "pagination": {"cursor": None}}}})
    job = analysis_module.DunmereAnalysis(io.BytesIO(bytes(range(256)) * 4096))  # 1 MiB

    def answering(resp, fn):
        def run():
            const.resp = resp
            return fn()
        return run

    def routed(fn):
        def run():
            _Context.session_with_retries = RouteSession()
            try:
                return fn()
            finally:
                _Context.session_with_retries = const
        return run

    return {
        "noop": lambda: None,
        "raw_get": answering(tip, lambda: raw_get(const)),
        "builtin_classmethod": lambda: int.from_bytes(b"", "big"),
        "extract_empty_url": lambda: api.extract_item_id_from_url(""),
        "extract_item_id_from_url": lambda: api.extract_item_id_from_url(URL),
        "file_urn": lambda: module.BrimvaleFile(URL).urn,
        "get_item_tip": answering(tip, lambda: api.get_item_tip(project_id="p", item_id="i", access_token="t")),
        "get_latest_version": answering(tip, lambda: module.BrimvaleFile(URL).get_latest_version("t")),
        "download_floor": answering(signed, lambda: download_floor(const)),
        "version_get_file": answering(signed, lambda: version.get_file()),
        "aec_get_hubs": answering(no_hubs, lambda: aec.get_hubs(region="US", access_token="t")),
        "hub_id_50": routed(lambda: module.BrimvaleFile(URL).get_hub_id("t")),
        "element_group_100": routed(lambda: module.BrimvaleFile(URL).get_aec_data_model_element_group_id("t")),
        "job_content_1MiB": lambda: job._generate_job_content(),
    }


if __name__ == "__main__":
    impl, name, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    op = setup(impl)[name]
    for _ in range(n):
        op()
