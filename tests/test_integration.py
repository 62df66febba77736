"""The whole journey over loopback: the modules, the SDK's real session, the simulator."""
import re
import subprocess
import sys
from io import BytesIO
from pathlib import Path

import pytest
from fakes import chain
from zelmar_sim import DEMO_ITEM, DEMO_PROJECT, DEMO_STI, DEMO_TOKEN, ENDPOINTS, EXPIRED_TOKEN, Simulator, World

from zelmar._vendor.requests.exceptions import ConnectionError as SessionConnectionError
from zelmar._vendor.requests.exceptions import HTTPError, JSONDecodeError
from zelmar.errors import ExecutionError
from zelmar.external.brimvale import BrimvaleFile
from zelmar.external.dunmere import DunmereAnalysis

ROOT = Path(__file__).resolve().parent.parent


def demo_file(world):
    return BrimvaleFile(world.web_url(DEMO_PROJECT, DEMO_ITEM))


def test_the_whole_journey(zelmar_platform, zelmar_world, caplog):
    caplog.set_level("DEBUG")  # no secret in any log line, at any level
    file = demo_file(zelmar_world)
    assert (file.project_id, file.urn) == (DEMO_PROJECT, DEMO_ITEM)
    assert zelmar_platform.requests == []  # offline so far
    assert file.get_hub_id(DEMO_TOKEN) == "H-engineering"
    assert file.get_region(DEMO_TOKEN) == "EMEA"
    version = file.get_latest_version(DEMO_TOKEN)
    assert version.urn == f"{DEMO_ITEM}?version=2"
    assert version.attributes["name"] == "embankment.sti"
    assert version.get_file().getvalue_binary() == DEMO_STI
    assert file.get_aec_data_model_element_group_id(DEMO_TOKEN) == "EG-levee-7"

    key = "brimvale-wip/objects/P-2041%2Fembankment-v2.sti"
    assert [(r.method, r.path.split("?")[0], r.endpoint, r.status) for r in zelmar_platform.requests] == [
        ("GET", "/project/v1/hubs", "hubs", 200),
        ("GET", "/project/v1/hubs/H-personal/projects/P-2041", "project", 404),
        ("GET", "/project/v1/hubs/H-engineering/projects/P-2041", "project", 200),
        ("GET", f"/data/v1/projects/P-2041/items/{DEMO_ITEM}/tip", "tip", 200),
        ("GET", f"/oss/v2/buckets/{key}/signeds3download", "signed_url", 200),
        ("GET", "/sim-storage/brimvale-wip/P-2041%2Fembankment-v2.sti", "download", 200),
        ("POST", "/aec/graphql", "aec_hubs", 200),
        ("POST", "/aec/graphql", "aec_hubs", 200),
        ("POST", "/aec/graphql", "element_groups", 200),
        ("POST", "/aec/graphql", "element_groups", 200),
        ("POST", "/aec/graphql", "element_groups", 200),
    ]
    api = [r for r in zelmar_platform.requests if r.endpoint != "download"]
    assert all(r.headers["Authorization"] == f"Bearer {DEMO_TOKEN}" for r in api)
    assert "Authorization" not in zelmar_platform.requests[5].headers  # the signed URL needs none
    graphql = [r for r in api if r.method == "POST"]
    assert all(r.headers["Region"] == "EMEA" for r in graphql)
    variables = [r.json()["variables"] for r in graphql]
    assert variables[0] == {"pagination": {}}
    assert list(variables[1]["pagination"]) == ["cursor"]
    assert [v.get("hubId") for v in variables[2:]] == ["AEC-emea-1", "AEC-emea-2", "AEC-emea-3"]
    assert variables[4]["filter"] == {"query": f"metadata.fileUrn=='{DEMO_ITEM}'"}

    analysis = DunmereAnalysis(input_file=version.get_file())
    analysis.execute(timeout=30)
    assert b"no real stability analysis" in analysis.get_output_file().getvalue()
    assert analysis.get_output_file(".err") is None
    logged = caplog.text + repr(zelmar_platform.requests) + repr(zelmar_platform.log())
    assert "/sim-storage/" in caplog.text and "signature=<redacted>" in repr(zelmar_platform.log())
    assert not re.search(r"signature=(?!<redacted>)", logged) and DEMO_TOKEN not in logged


def three_hub_world(**options) -> World:
    world = World(**options)
    for n in (1, 2, 3):
        world.add_hub(f"H-{n}", region="EMEA" if n == 3 else "US")
    world.add_project("P-9", hub="H-3")
    world.add_item("P-9", "I-9", name="deep.sti", versions=[b"Dunmere input file\n"])
    world.add_token("t")
    return world


def test_project_under_the_third_of_three_hubs():
    world = three_hub_world()
    with Simulator(world) as platform:
        file = BrimvaleFile(world.web_url("P-9", "I-9"))
        assert file.get_hub_id("t") == "H-3" and file.get_region("t") == "EMEA"
        assert platform.log() == [
            ("GET", "/project/v1/hubs"),
            ("GET", "/project/v1/hubs/H-1/projects/P-9"),
            ("GET", "/project/v1/hubs/H-2/projects/P-9"),
            ("GET", "/project/v1/hubs/H-3/projects/P-9"),
        ]


def test_aec_hubs_over_several_pages():
    world = three_hub_world(page_size=1)
    for n in range(1, 5):
        world.add_aec_hub(f"A-{n}", region="EMEA")
    world.add_aec_hub("A-us", region="US")
    world.add_element_group("G-1", aec_hub="A-3", file_urn="I-9")
    world.add_element_group("G-other", aec_hub="A-4", file_urn="I-9")
    with Simulator(world) as platform:
        file = BrimvaleFile(world.web_url("P-9", "I-9"))
        file._hub = {"id": "H-3", "attributes": {"region": "EMEA"}}
        assert file.get_aec_data_model_element_group_id("t") == "G-1"
        asked = [(r.endpoint, r.json()["variables"]) for r in platform.requests]
    pages = [v["pagination"].get("cursor") for e, v in asked if e == "aec_hubs"]
    assert len(pages) == 4 and pages[0] is None and len(set(pages)) == 4
    assert [v["hubId"] for e, v in asked if e == "element_groups"] == ["A-1", "A-2", "A-3"]


def test_expired_token_gives_the_documented_chains(zelmar_platform, zelmar_world):
    file = demo_file(zelmar_world)
    with pytest.raises(ValueError) as info:
        file.get_latest_version(EXPIRED_TOKEN)
    assert [c[1] for c in chain(info.value)][0] == "Request to get latest item version from Brimvale Platform Services failed"
    assert isinstance(info.value.__cause__, HTTPError) and info.value.__cause__.response.status_code == 401
    with pytest.raises(ValueError) as info:
        file.get_hub_id(EXPIRED_TOKEN)
    assert [c[1] for c in chain(info.value)][:2] == [
        "Could not obtain hub id", "Request to get hubs from Brimvale Platform Services failed"]
    assert [r.status for r in zelmar_platform.requests] == [401, 401]


def test_unknown_token_and_hidden_project(zelmar_platform, zelmar_world):
    zelmar_world.add_token("no-projects", projects=[])
    file = demo_file(zelmar_world)
    with pytest.raises(ValueError) as info:
        file.get_hub_id("no-projects")
    assert chain(info.value)[1] == (ValueError, "No hub found")
    # Not in the first hub, not visible in the second, not in the third.
    assert [r.status for r in zelmar_platform.requests] == [200, 404, 403, 404]
    with pytest.raises(ValueError) as info:
        file.get_latest_version("nobody")
    assert info.value.__cause__.response.status_code == 401


def test_retries_of_the_session(zelmar_platform, zelmar_world):
    zelmar_platform.fault("tip", status=503, times=2)
    version = demo_file(zelmar_world).get_latest_version(DEMO_TOKEN)
    assert version.urn.endswith("?version=2")
    assert [(r.endpoint, r.status) for r in zelmar_platform.requests] == [("tip", 503), ("tip", 503), ("tip", 200)]


def test_retries_run_out(zelmar_platform, zelmar_world):
    zelmar_platform.fault("tip", status=503, times=10)
    with pytest.raises(ValueError) as info:
        demo_file(zelmar_world).get_latest_version(DEMO_TOKEN)
    assert type(info.value.__cause__) is HTTPError
    assert len(zelmar_platform.requests) == 4


def test_stopped_simulator_is_the_sessions_own_error(zelmar_platform, zelmar_world):
    zelmar_platform.stop()
    with pytest.raises(SessionConnectionError) as info:
        demo_file(zelmar_world).get_latest_version(DEMO_TOKEN)
    assert not isinstance(info.value, ValueError)


@pytest.mark.parametrize(
    "endpoint, fault, call, expected",
    [
        ("tip", {"body": b"<html>maintenance</html>"}, "latest",
         ["Request to get latest item version from Brimvale Platform Services failed", JSONDecodeError]),
        ("aec_hubs", {"graphql_errors": ["rate limited"]}, "group",
         ["Request to get AEC Data Model hubs from Brimvale Platform Services failed", KeyError]),
        ("aec_hubs", {"repeat_cursor": True, "times": 5}, "group",
         ["Request to get AEC Data Model hubs from Brimvale Platform Services failed", "Repeated pagination cursor"]),
        ("signed_url", {"status": 404}, "download",
         ["Request to get a short-lived download URL from Brimvale Platform Services failed", HTTPError]),
    ],
)
def test_faults(zelmar_platform, zelmar_world, endpoint, fault, call, expected):
    file = demo_file(zelmar_world)
    file._hub = {"id": "H-engineering", "attributes": {"region": "EMEA"}}
    zelmar_platform.fault(endpoint, **fault)
    action = {
        "latest": lambda: file.get_latest_version(DEMO_TOKEN),
        "group": lambda: file.get_aec_data_model_element_group_id(DEMO_TOKEN),
        "download": lambda: file.get_latest_version(DEMO_TOKEN).get_file(),
    }[call]
    with pytest.raises(ValueError) as info:
        action()
    outer, cause = info.value, info.value.__cause__
    assert str(outer) == expected[0]
    assert str(cause) == expected[1] if isinstance(expected[1], str) else isinstance(cause, expected[1])


def test_delay_fault(zelmar_platform, zelmar_world):
    import time

    zelmar_platform.fault("hubs", delay=0.3)
    started = time.monotonic()
    demo_file(zelmar_world).get_hub_id(DEMO_TOKEN)
    assert time.monotonic() - started >= 0.3


@pytest.mark.parametrize(
    "content, fault, error, message",
    [
        (b"", None, ValueError, "The .sti input file is empty"),
        (DEMO_STI, {"message": "ERROR: no licence available"}, ExecutionError,
         "No Dunmere licence is available on the worker, try again later"),
        (DEMO_STI, {"message": "ERROR: disk full"}, ExecutionError, "ERROR: disk full"),
        (DEMO_STI, {"delay": 1.5}, ExecutionError, "The job did not finish within 1 seconds"),
    ],
)
def test_worker_errors(zelmar_platform, content, fault, error, message):
    if fault:
        zelmar_platform.fault("analysis", **fault)
    analysis = DunmereAnalysis(BytesIO(content))
    with pytest.raises(error) as info:
        analysis.execute(timeout=1 if "delay" in (fault or {}) else 30)
    assert type(info.value) is error and str(info.value) == message


def test_worker_writes_err_for_a_bad_input(zelmar_platform):
    analysis = DunmereAnalysis(BytesIO(b"not an sti file"))
    analysis.execute(timeout=30)
    assert b"does not start with" in analysis.get_output_file(".err", as_file=True).getvalue_binary()
    assert [r.endpoint for r in zelmar_platform.job_requests][:1] == ["jobs"]


def test_the_failures_example_tells_the_statuses_apart():
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "failures.py")], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    shown = FAILURES_PAGE.split("It prints (from 3.11; 3.10 has no notes):\n\n```text\n", 1)[1].split("```")[0]
    assert re.findall(r"status(?:es)? ([\d, ]+)\)", shown) == ["401", "403", "404", "401", "403, 404", "404, 404"]
    if sys.version_info < (3, 11):  # the hub search's statuses are notes
        shown = shown.replace("statuses 403, 404", "statuses ").replace("statuses 404, 404", "statuses ")
    assert result.stdout == shown  # as the page on failures shows it


FAILURES_PAGE = (ROOT / "docs" / "failures.md").read_text()
# The table of the failures page: (call, what the platform does, what the call gives).
FAILURE_TABLE = [tuple(cell.strip(" `") if i == 0 else cell.strip() for i, cell in enumerate(row.split(" | ")[:3]))
                 for row in re.findall(r"^\| (`\w+` \| .*) \|$", FAILURES_PAGE, re.M)]


def failure_chain(error):
    """An exception and its causes as the table writes them."""
    parts = []
    while error is not None:
        if isinstance(error, HTTPError) and error.response is not None:
            parts.append(f"`HTTPError` {error.response.status_code}")
        elif isinstance(error, SessionConnectionError):
            parts.append("`ConnectionError`")
        else:
            notes = ", ".join(f"`{note}`" for note in getattr(error, "__notes__", []))
            parts.append(f'`{type(error).__name__}` "{error}"' + (f" (notes: {notes})" if notes else ""))
        error = error.__cause__
    return " ← ".join(parts)


@pytest.mark.parametrize("call, platform, expected", FAILURE_TABLE, ids=[f"{c}-{p}" for c, p, _ in FAILURE_TABLE])
def test_every_failure_of_the_table(call, platform, expected):
    world = World()
    world.add_hub("H-1", region="EMEA")
    world.add_hub("H-2")
    world.add_project("P-1", hub="H-1")
    world.add_item("P-1", "urn:item:1", name="levee.sti", versions=[b"v1"])
    world.add_token("token-1")
    world.add_token("outsider", projects=[])
    world.add_token("old", expired=True)
    kind = platform.split()[0]
    if expected == "—":
        return  # the page says why the case does not occur
    with Simulator(world) as simulator:
        here = world.web_url("P-1", "urn:item:1")
        version = BrimvaleFile(here).get_latest_version("token-1")
        token, url = {"401": "old", "403": "outsider"}.get(kind, "token-1"), here
        if kind == "404":
            url = world.web_url("P-9", "urn:item:1")
        if call in ("get_file", "getvalue_binary"):  # the version is made; its own request fails
            endpoint, token, url = "signed_url" if call == "get_file" else "download", "token-1", here
            if kind in ("403", "404") or (kind == "401" and call == "getvalue_binary"):
                simulator.fault(endpoint, status=int(kind))
            if kind == "401" and call == "get_file":
                version = type(version)("old", version._data)
        if kind == "5xx":
            for endpoint in ["download"] if call == "getvalue_binary" else ENDPOINTS:
                simulator.fault(endpoint, status=503, times=10)
        if kind == "network":
            simulator.stop()
        handle = BrimvaleFile(url)
        calls = {"get_file": version.get_file, "getvalue_binary": lambda: version.get_file().getvalue_binary()}
        with pytest.raises(Exception) as info:
            calls.get(call, lambda: getattr(handle, call)(token))()
    if sys.version_info < (3, 11):
        expected = re.sub(r" \(notes: .*?\)(?= ←|$)", "", expected)
    assert failure_chain(info.value) == expected


def test_the_failure_table_covers_every_public_call():
    calls = {call for call, _, _ in FAILURE_TABLE}
    kinds = {platform.split()[0] for _, platform, _ in FAILURE_TABLE}
    assert calls == {"get_hub_id", "get_region", "get_latest_version", "get_aec_data_model_element_group_id",
                     "get_file", "getvalue_binary"} and kinds == {"401", "403", "404", "5xx", "network"}
    assert len(FAILURE_TABLE) == len(calls) * len(kinds)


def test_quickstart_runs():
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    for line in ["hub id:     H-engineering", "region:     EMEA", "element group id: EG-levee-7",
                 "no real stability analysis was computed"]:
        assert line in result.stdout
