"""Telling failures apart: a refused token (401), a forbidden file (403) and a missing
file (404) all reach the application as the same documented ValueError; the HTTP status is
in the chain of causes, one level down for a request, two for the hub lookup. Run against
the platform simulator; the suite runs it.
"""
from typing import Callable, Optional

from zelmar_sim import DEMO_ITEM, DEMO_PROJECT, EXPIRED_TOKEN, Simulator, default_world

from zelmar._vendor.requests.exceptions import HTTPError
from zelmar.external.brimvale import BrimvaleFile


def status_of(error: Optional[BaseException]) -> Optional[int]:
    """The HTTP status behind a failure: that of the first HTTPError among its causes."""
    while error is not None:
        if isinstance(error, HTTPError) and error.response is not None:
            return int(error.response.status_code)
        error = error.__cause__
    return None


def main() -> None:
    world = default_world()
    world.add_token("outsider", hubs=[], projects=[])  # a valid token that sees nothing
    here = world.web_url(DEMO_PROJECT, DEMO_ITEM)
    missing = world.web_url(DEMO_PROJECT, "I-missing")
    attempts: list[tuple[str, Callable[[], object]]] = [
        ("refused token", lambda: BrimvaleFile(here).get_latest_version(EXPIRED_TOKEN)),
        ("forbidden file", lambda: BrimvaleFile(here).get_latest_version("outsider")),
        ("missing file", lambda: BrimvaleFile(missing).get_latest_version("demo-token")),
        ("hub, refused token", lambda: BrimvaleFile(here).get_hub_id(EXPIRED_TOKEN)),
    ]
    with Simulator(world):
        for what, attempt in attempts:
            try:
                attempt()
            except ValueError as error:
                print(f"{what} (status {status_of(error)}):\n    {error}")


if __name__ == "__main__":
    main()
