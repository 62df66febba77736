"""The journey of an application using zelmar.external, against the platform simulator.

A file on Brimvale cloud storage, from its web URL: what is known offline, its hub and
region, its latest version and content, its AEC Data Model element group; then a Dunmere
analysis of that .sti file and its .sto result. Run by `make demo`.

With ZELMAR_SIM_URL set (to the address `python -m zelmar_sim` prints), the journey goes
to that simulator, running in its own process; otherwise it starts one in this process.
"""
import contextlib
import os
from io import BytesIO
from typing import Optional

import requests
from zelmar_sim import DEMO_ITEM, DEMO_PROJECT, DEMO_TOKEN, Simulator, default_world

from zelmar.external.brimvale import BrimvaleFile
from zelmar.external.dunmere import DunmereAnalysis


def step(title: str) -> None:
    print(f"\n== {title}")


Seen = list[tuple[int, str, str, str]]


def requests_seen(platform: Optional[Simulator], elsewhere: Optional[str]) -> Seen:
    """(status, method, path, endpoint) of every request the simulator saw."""
    if platform is not None:
        return [(r.status, r.method, r.path, r.endpoint) for r in platform.requests]
    answer = requests.get(f"{elsewhere}/sim/v1/requests", timeout=10)
    answer.raise_for_status()
    return [(r["status"], r["method"], r["path"], r["endpoint"])
            for r in answer.json()["requests"]]


def main() -> None:
    world = default_world()
    url = world.web_url(DEMO_PROJECT, DEMO_ITEM)
    # In an application: OAuth2Integration("brimvale-integration").get_access_token()
    token = DEMO_TOKEN
    elsewhere = os.environ.get("ZELMAR_SIM_URL")

    with contextlib.nullcontext() if elsewhere else Simulator(world) as platform:
        if platform is None:
            print(f"platform simulator at {elsewhere} (ZELMAR_SIM_URL)")
        else:
            print(f"platform simulator on {platform.url}, in place of {platform.origin}")

        step("A file from its web URL (no requests)")
        file = BrimvaleFile(url)
        print(f"url:        {file.url}")
        print(f"project id: {file.project_id}")
        print(f"urn:        {file.urn}")

        step("Its hub and region (Data Management requests, then cached)")
        print(f"hub id:     {file.get_hub_id(token)}")
        print(f"region:     {file.get_region(token)}")

        step("Its latest version and content")
        version = file.get_latest_version(token)
        print(f"version:    {version.urn}")
        print(f"attributes: {version.attributes}")
        content = version.get_file().getvalue_binary()
        first_line = content.splitlines()[0].decode()
        print(f"content:    {len(content)} bytes, first line {first_line!r}")

        step("Its AEC Data Model element group (GraphQL, every hub of the region)")
        print(f"element group id: {file.get_aec_data_model_element_group_id(token)}")

        step("A Dunmere analysis of the file on the worker")
        analysis = DunmereAnalysis(input_file=BytesIO(content))
        analysis.execute(timeout=30)
        sto = analysis.get_output_file()
        if sto is None:
            raise SystemExit("the analysis wrote no .sto file")
        print(sto.getvalue().decode().rstrip())
        print(f"as an SDK File: {analysis.get_output_file(as_file=True)!r}")

        step("Requests the platform saw")
        for status, method, path, endpoint in requests_seen(platform, elsewhere):
            print(f"{status} {method:4} {path}  ({endpoint})")


if __name__ == "__main__":
    main()
