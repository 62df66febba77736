"""The simulator beside an application: in another process (python -m zelmar_sim and the
ZELMAR_SIM_URL start-up hook), over kept-alive connections, and quiet when clients give up."""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests
from zelmar_sim import DEMO_ITEM, DEMO_PROJECT, DEMO_TOKEN, Simulator, default_world

from zelmar._vendor.requests.exceptions import ConnectionError as SessionConnectionError
from zelmar.external.brimvale import BrimvaleFile, _DataManagementAPI

ROOT = Path(__file__).resolve().parent.parent
AUTH = {"Authorization": f"Bearer {DEMO_TOKEN}"}


@pytest.fixture
def standalone():
    """python -m zelmar_sim in a process of its own; its address and what it printed."""
    process = subprocess.Popen([sys.executable, "-m", "zelmar_sim"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        banner = [process.stdout.readline() for _ in range(6)]
        found = re.match(r"zelmar simulator listening on (http://127\.0\.0\.1:\d+) ", banner[0])
        assert found, "".join(banner) + process.stderr.read()
        yield found.group(1), banner
    finally:
        process.terminate()
        process.wait(timeout=10)


def run_with_url(url, *args):
    environment = {**os.environ, "ZELMAR_SIM_URL": url}
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120, env=environment)


def test_an_application_in_another_process_completes_the_journey(standalone):
    standalone, _ = standalone
    result = run_with_url(standalone, str(ROOT / "examples" / "quickstart.py"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"platform simulator at {standalone} (ZELMAR_SIM_URL)"
    for line in ["hub id:     H-engineering", "region:     EMEA", "element group id: EG-levee-7",
                 "no real stability analysis was computed"]:
        assert line in result.stdout
    seen = [line.split()[:3] for line in lines[lines.index("== Requests the platform saw") + 1:]]
    assert [status for status, _, _ in seen] == ["200", "404"] + ["200"] * 9
    assert seen[5][2].startswith("/sim-storage/")  # the download followed the simulator's own link
    assert result.stderr == ""


def test_links_lead_back_to_a_standalone_simulator(standalone):
    standalone, banner = standalone
    web_url = default_world().web_url(DEMO_PROJECT, DEMO_ITEM)
    assert f"  export ZELMAR_SIM_URL={standalone}\n" in banner and f"demo file, for BrimvaleFile(...): {web_url}\n" in banner
    files = requests.get(f"{standalone}/sim/v1/files", timeout=10).json()["files"]
    assert [f["web_url"] for f in files] == [web_url] and BrimvaleFile(web_url).urn == DEMO_ITEM
    world = default_world()
    project, item = world.projects[DEMO_PROJECT], DEMO_ITEM
    tip = requests.get(f"{standalone}/data/v1/projects/{project.id}/items/{item}/tip", headers=AUTH, timeout=10).json()
    href = tip["data"]["relationships"]["storage"]["meta"]["link"]["href"]
    assert href.startswith(f"{standalone}/oss/v2/buckets/")
    signed = requests.get(href + "/signeds3download", headers=AUTH, timeout=10).json()["url"]
    assert signed.startswith(f"{standalone}/sim-storage/")
    assert requests.get(signed, timeout=10).content.startswith(b"Dunmere input file")
    info = requests.get(f"{standalone}/sim/v1/info", timeout=10).json()
    assert info == {"url": standalone, "origin": "https://api.brimvale.example", "link_origin": standalone}


def test_links_of_a_routed_simulator_use_the_platform_origin(zelmar_platform, zelmar_world):
    version = BrimvaleFile(zelmar_world.web_url(DEMO_PROJECT, DEMO_ITEM)).get_latest_version(DEMO_TOKEN)
    assert version.storage_url.startswith("https://api.brimvale.example/oss/v2/buckets/")
    assert zelmar_platform.link_origin == zelmar_platform.origin


@pytest.mark.parametrize(
    "url, expected",
    [
        ("http://127.0.0.1:9", ["RoutingAdapter http://127.0.0.1:9", "RemoteWorker http://127.0.0.1:9", "True"]),
        ("", ["HTTPAdapter -", "LocalWorker -", "False"]),
        (None, ["HTTPAdapter -", "LocalWorker -", "False"]),
    ],
)
def test_the_start_up_hook_routes_a_process_only_when_asked(url, expected):
    environment = {k: v for k, v in os.environ.items() if k != "ZELMAR_SIM_URL"}
    if url is not None:
        environment["ZELMAR_SIM_URL"] = url
    code = """
import sys
from zelmar.core import _Context
from zelmar.external.external_program import current_worker
adapter = _Context.session_with_retries.get_adapter("https://api.brimvale.example/x")
print(type(adapter).__name__, getattr(getattr(adapter, "target", None), "geturl", lambda: "-")())
print(type(current_worker()).__name__, getattr(current_worker(), "url", "-"))
print("zelmar_sim" in sys.modules)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=environment)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected
    assert result.stderr == ""


@pytest.mark.parametrize("url, reason", [
    ("localhost:18765", "ValueError: expected the simulator's address with its scheme, such as "
                        "http://127.0.0.1:18765 (as python -m zelmar_sim prints it)"),
    ("http:///x", "ValueError: expected the simulator's address"),
    ("http://127.0.0.1:9", None),  # a process that never uses the SDK: nothing is imported for it
])
def test_the_hook_checks_the_address_and_imports_nothing_at_start_up(url, reason):
    environment = {**os.environ, "ZELMAR_SIM_URL": url}
    code = "import sys; print(sorted(m for m in sys.modules if m.split('.')[0] in ('zelmar', 'zelmar_sim', 'requests')))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=environment)
    assert result.returncode == 0 and result.stdout == "['zelmar_sim', 'zelmar_sim.startup']\n"
    if reason is None:
        assert result.stderr == ""
    else:
        [line] = result.stderr.splitlines()
        assert line.startswith(f"zelmar_sim: ZELMAR_SIM_URL={url} not honoured: {reason}")


def test_the_session_keeps_its_connection_alive(zelmar_platform):
    for _ in range(5):
        _DataManagementAPI.get_hubs(access_token=DEMO_TOKEN)
    assert len(zelmar_platform.requests) == 5
    assert zelmar_platform.connections == 1


def test_stop_drops_kept_connections(zelmar_platform):
    _DataManagementAPI.get_hubs(access_token=DEMO_TOKEN)
    zelmar_platform.stop()
    with pytest.raises(SessionConnectionError):
        _DataManagementAPI.get_hubs(access_token=DEMO_TOKEN)


def test_a_client_that_gives_up_leaves_no_traceback(capfd):
    with Simulator(default_world(), route_sdk=False) as simulator:
        simulator.fault("hubs", delay=0.6)
        with pytest.raises(requests.exceptions.ReadTimeout):
            requests.get(f"{simulator.url}/project/v1/hubs", headers=AUTH, timeout=0.1)
        time.sleep(1.0)  # the handler wakes up and writes to the closed connection
        assert requests.get(f"{simulator.url}/project/v1/hubs", headers=AUTH, timeout=10).status_code == 200
    captured = capfd.readouterr()
    assert "Traceback" not in captured.err and "Error" not in captured.err, captured.err


def test_pytest_lists_what_each_fixture_gives(tmp_path):
    (tmp_path / "test_nothing.py").write_text("def test_nothing():\n    pass\n")
    result = subprocess.run([sys.executable, "-m", "pytest", "--fixtures", "-p", "no:cacheprovider"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    out = " ".join(result.stdout.split())
    assert "zelmar_world -- " in out and "The World the simulator serves" in out
    assert "zelmar_platform -- " in out and "A running Simulator over zelmar_world" in out


def test_polling_a_running_analysis_reuses_its_connections(zelmar_platform):
    from io import BytesIO

    from zelmar_sim import DEMO_STI

    from zelmar.external.dunmere import DunmereAnalysis

    zelmar_platform.fault("analysis", delay=0.4)  # the job runs long enough to be polled a few times
    DunmereAnalysis(BytesIO(DEMO_STI)).execute(timeout=30)
    polls = [r for r in zelmar_platform.job_requests if r.method == "GET"]
    assert len(polls) >= 5
    # One connection for the job's submitter and its polls, one for the worker process.
    assert zelmar_platform.connections <= 2
