"""The start-up hook: with ZELMAR_SIM_URL set, a process sends its platform requests and its
analysis jobs to the simulator at that address.

zelmar-sim installs a .pth file that calls install() when the variable is set, before the
application's own code runs (as coverage.py measures subprocesses). The SDK knows nothing of
the simulator: the hook mounts a transport adapter on the SDK session for the platform's
origin, keeping the session's retry policy, and makes a worker of the simulator's job
service the current one.
"""
from __future__ import annotations

import os
import sys

VARIABLE = "ZELMAR_SIM_URL"

# site may read a directory of .pth files twice (a venv's lib64 is a link to its lib): the
# hook acts once per process.
_done = False


def install(url: str) -> None:
    """Routes this process to the simulator at url (http://127.0.0.1:PORT)."""
    from urllib.parse import urlsplit

    from .server import _route_sdk, default_origin

    # "localhost:18765" parses as scheme "localhost": refused here, not as a lookup that
    # fails far away with "No host specified".
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ValueError("expected the simulator's address with its scheme, such as http://127.0.0.1:18765 "
                         "(as python -m zelmar_sim prints it)")
    _route_sdk(default_origin(), url.rstrip("/"))


def from_environment() -> None:
    """What the .pth file runs at start-up: install() for ZELMAR_SIM_URL, if it is set. A
    failure is reported in one line and the process goes on unrouted."""
    global _done
    url = os.environ.get(VARIABLE)
    if not url or _done:
        return
    _done = True
    try:
        install(url)
    except Exception as error:  # noqa: BLE001 - start-up must not break the application
        print(f"zelmar_sim: {VARIABLE}={url} not honoured: {type(error).__name__}: {error}", file=sys.stderr)
