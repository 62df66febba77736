"""The simulator on its own: answers to requests the modules never send, world building, routing."""
import contextlib

import pytest
import requests
from zelmar_sim import DEMO_STI, DEMO_TOKEN, Simulator, World, default_world
from zelmar_sim.routing import route_session

import zelmar.core

AUTH = {"Authorization": f"Bearer {DEMO_TOKEN}"}


@pytest.fixture
def direct():
    """A simulator reached directly at its loopback address, without routing."""
    with Simulator(default_world(), route_sdk=False) as simulator:
        yield simulator


@pytest.mark.parametrize(
    "method, path, headers, body, status",
    [
        ("GET", "/project/v1/hubs", {}, None, 401),
        ("GET", "/project/v1/hubs", {"Authorization": "Bearer expired-token"}, None, 401),
        ("GET", "/project/v1/hubs", {"Authorization": DEMO_TOKEN}, None, 401),
        ("GET", "/project/v1/hubs/H-engineering", AUTH, None, 200),
        ("GET", "/project/v1/hubs/H-nowhere", AUTH, None, 404),
        ("GET", "/data/v1/projects/P-2041/items/urn:missing/tip", AUTH, None, 404),
        ("GET", "/data/v1/projects/P-0/items/x/tip", AUTH, None, 404),
        ("GET", "/oss/v2/buckets/brimvale-wip/objects/nothing/signeds3download", AUTH, None, 404),
        ("GET", "/sim-storage/brimvale-wip/P-2041%2Fembankment-v2.sti?signature=forged", {}, None, 403),
        ("GET", "/no/such/path", AUTH, None, 404),
        ("POST", "/aec/graphql", AUTH, {"query": "query Other { x }"}, 400),
        ("POST", "/aec/graphql", AUTH, {"query": "query GetHubs { }"}, 400),  # no Region header
        ("POST", "/aec/graphql", {**AUTH, "Region": "EMEA"}, {"query": "query GetHubs", "variables": {"pagination": {"cursor": "bad!"}}}, 200),
    ],
)
def test_answers(direct, method, path, headers, body, status):
    answer = requests.request(method, direct.url + path, headers=headers, json=body, timeout=10)
    assert answer.status_code == status
    assert direct.requests[-1].status == status


def test_graphql_answers_for_odd_requests(direct):
    def ask(variables, region="EMEA"):
        query = "query GetElementGroupsByHub" if "hubId" in variables else "query GetHubs"
        return requests.post(direct.url + "/aec/graphql", headers={**AUTH, "Region": region},
                             json={"query": query, "variables": variables}, timeout=10).json()

    assert ask({"pagination": {"cursor": "bad!"}}) == {"errors": [{"message": "Invalid cursor 'bad!'"}]}
    assert ask({"hubId": "AEC-us-1", "pagination": {}})["errors"][0]["message"] == "Hub AEC-us-1 not found in region EMEA"
    assert "Invalid filter" in ask({"hubId": "AEC-emea-3", "pagination": {}, "filter": {"query": "name=='x'"}})["errors"][0]["message"]
    everything = ask({"hubId": "AEC-emea-3", "pagination": {}})
    assert everything["data"]["elementGroupsByHub"]["results"] == [{"id": "EG-levee-7"}]
    limited = ask({"pagination": {"limit": 1}})["data"]["hubs"]
    assert limited["results"] == [{"id": "AEC-emea-1"}] and limited["pagination"]["cursor"]


@pytest.mark.parametrize(
    "build, error",
    [
        (lambda w: w.add_project("P", hub="missing"), "no hub 'missing'"),
        (lambda w: w.add_item("P-1001", "I", name="x.sti", versions=[]), "an item has at least one version"),
    ],
)
def test_world_refuses_inconsistent_data(build, error):
    with pytest.raises(ValueError, match=error):
        build(default_world())


def test_unknown_fault_target():
    with pytest.raises(ValueError, match="unknown fault target"):
        Simulator(World()).fault("hubz", status=500)


def test_routing_keeps_the_session_retries_and_is_undone():
    session = zelmar.core.new_session_with_retries()
    before = dict(session.adapters)
    undo = route_session(session, "https://api.brimvale.example", "http://127.0.0.1:1")
    adapter = session.get_adapter("https://api.brimvale.example/x")
    assert adapter.max_retries is session.get_adapter("https://other.example/").max_retries
    assert session.get_adapter("https://api.brimvale.example.evil/x") is before["https://"]
    undo()
    assert session.adapters == before


def test_closing_restores_the_sdk(zelmar_world):
    from zelmar.external import external_program

    session = zelmar.core._Context.session_with_retries
    adapters, worker = dict(session.adapters), external_program.current_worker()
    with Simulator(zelmar_world):
        assert session.adapters != adapters
        assert isinstance(external_program.current_worker(), external_program.RemoteWorker)
    assert session.adapters == adapters and external_program.current_worker() is worker


# The blocks other than Python of the README and the reference's usage and simulator pages, by
# how they begin, and where they are run.
SNIPPET_PAGES = ["README.md", "docs/usage.md", "docs/simulator.md"]
NOT_PYTHON = {
    "pip install zelmar_external_native-": "test_wheel installs a built wheel into a fresh venv with pip",
    "make demo": "make demo runs examples/quickstart.py, as test_integration does; CI runs make test",
}
# What the Python snippets leave to the reader, and what each must come to (by a line of it).
GIVEN = {"token": DEMO_TOKEN, "sti_bytes": DEMO_STI}
SNIPPET_CHECKS = {
    "platform.log()": lambda ns: ns["platform"].log()[:2] == [
        ("GET", "/data/v1/projects/P-1/items/urn:item:1/tip"),
        ("GET", "/oss/v2/buckets/brimvale-wip/objects/P-1%2Flevee-v2.sti/signeds3download")],
    "sti = file.get_latest_version(token)": lambda ns: ns["sti"] == DEMO_STI and b"stand-in" in ns["sto"].getvalue(),
    "content = version.get_file()": lambda ns: (ns["file"].project_id, ns["content"].getvalue_binary()) == (
        "P-1001", DEMO_STI),
    "err = analysis.get_output_file": lambda ns: b"stand-in" in ns["sto"].getvalue() and ns["err"] is None,
}


def test_every_snippet_runs_as_shown():
    import re
    from pathlib import Path

    root = Path(__file__).resolve().parent.parent
    blocks = [(page, kind, code) for page in SNIPPET_PAGES
              for kind, code in re.findall(r"^```([^\n]*)\n(.*?)^```", (root / page).read_text(), re.S | re.M)
              if not kind.startswith("{")]  # a directive (an included file, autodoc) is no snippet
    assert [code for _, kind, code in blocks if kind != "python" and not code.startswith(tuple(NOT_PYTHON))] == []
    world = default_world()  # the snippets' file, in the demo token's sandbox project
    world.add_item("P-1001", "urn:item:42", name="slope.sti", versions=[DEMO_STI])
    world.add_element_group("EG-42", aec_hub="AEC-us-1", file_urn="urn:item:42")
    checked = []
    for page, code in ((page, code) for page, kind, code in blocks if kind == "python"):
        namespace = dict(GIVEN)
        [line] = [line for line in SNIPPET_CHECKS if line in code]
        with contextlib.nullcontext() if "Simulator(" in code else Simulator(world):
            exec(compile(code, page, "exec"), namespace)
            assert SNIPPET_CHECKS[line](namespace), (page, line)  # a File reads its content here
        checked.append(line)
    assert sorted(checked) == sorted(SNIPPET_CHECKS)
