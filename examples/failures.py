"""Telling failures apart: a refused token (401), a forbidden file (403) and a missing
file (404) all reach the application as the same documented ValueError. The HTTP status
is in the chain of causes, one level down for a request, two for the hub lookup, whose
"No hub found" notes what each hub's probe met (from 3.11). Run against the platform
simulator; the suite runs it.
"""
from typing import Callable, Optional

from zelmar_sim import Simulator, World

from zelmar._vendor.requests.exceptions import HTTPError
from zelmar.external.brimvale import BrimvaleFile


def statuses_of(error: Optional[BaseException]) -> list[int]:
    """The HTTP statuses behind a failure: that of the first HTTPError among its causes,
    or those the hub search noted for the hubs it tried."""
    while error is not None:
        if isinstance(error, HTTPError) and error.response is not None:
            return [int(error.response.status_code)]
        notes = getattr(error, "__notes__", [])
        if notes:  # "hub H-1: status 403"
            return [int(note.rsplit(" ", 1)[1]) for note in notes if ": status " in note]
        error = error.__cause__
    return []


def main() -> None:
    world = World()
    world.add_hub("H-1", region="EMEA")  # holds the project
    world.add_hub("H-2")
    world.add_project("P-1", hub="H-1")
    world.add_item("P-1", "urn:item:1", name="levee.sti", versions=[b"v1"])
    world.add_token("token-1")
    world.add_token("outsider", projects=[])  # a valid token that may see no project
    world.add_token("old", expired=True)
    here = world.web_url("P-1", "urn:item:1")
    missing = world.web_url("P-9", "urn:item:1")
    attempts: list[tuple[str, Callable[[], object]]] = [
        ("refused token", lambda: BrimvaleFile(here).get_latest_version("old")),
        ("forbidden file", lambda: BrimvaleFile(here).get_latest_version("outsider")),
        ("missing file", lambda: BrimvaleFile(missing).get_latest_version("token-1")),
        ("hub, refused token", lambda: BrimvaleFile(here).get_hub_id("old")),
        ("hub, forbidden file", lambda: BrimvaleFile(here).get_hub_id("outsider")),
        ("hub, missing file", lambda: BrimvaleFile(missing).get_hub_id("token-1")),
    ]
    with Simulator(world):
        for what, attempt in attempts:
            try:
                attempt()
            except ValueError as error:
                statuses = statuses_of(error)
                label = "status" if len(statuses) == 1 else "statuses"
                print(f"{what} ({label} {', '.join(map(str, statuses))}):\n    {error}")


if __name__ == "__main__":
    main()
