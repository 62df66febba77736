"""The start-up hook: with ZELMAR_SIM_URL set, a process sends its platform requests and its
analysis jobs to the simulator at that address.

zelmar-sim installs a .pth file that calls from_environment() when the variable is set, before
the application's own code runs (as coverage.py measures subprocesses). The SDK knows nothing
of the simulator. At start-up the hook only checks the address and waits: once the
application imports the SDK's zelmar.core, it mounts a transport adapter on the SDK session
for the platform's origin (keeping the session's retry policy), and once it imports
zelmar.external.external_program, it makes a worker of the simulator's job service the
current one. A process that never uses the SDK pays a few hundred microseconds, not the
import of the SDK and the simulator.
"""
from __future__ import annotations

import os
import sys
from types import ModuleType
from typing import Any, Callable, Optional, Sequence

VARIABLE = "ZELMAR_SIM_URL"
#: The platform origin, unless the compiled module, already loaded, names another one.
DEFAULT_ORIGIN = "https://api.brimvale.example"

# site may read a directory of .pth files twice (a venv's lib64 is a link to its lib): the
# hook acts once per process.
_done = False


def _report(url: str, error: BaseException) -> None:
    print(f"zelmar_sim: {VARIABLE}={url} not honoured: {type(error).__name__}: {error}", file=sys.stderr)


def _check(url: str) -> None:
    # "localhost:18765" would be read as a scheme "localhost": refused here, not as a lookup
    # that fails far away with "No host specified".
    scheme, separator, rest = url.partition("://")
    if scheme not in ("http", "https") or not separator or not rest or rest[0] in "/?#":
        raise ValueError("expected the simulator's address with its scheme, such as http://127.0.0.1:18765 "
                         "(as python -m zelmar_sim prints it)")


def _route_session(url: str, core: ModuleType) -> None:
    from .routing import route_session

    brimvale = sys.modules.get("zelmar.external.brimvale")
    route_session(core._Context.session_with_retries, getattr(brimvale, "_BASE_URL", DEFAULT_ORIGIN), url)


def _use_worker(url: str, external_program: ModuleType) -> None:
    external_program.use_worker(external_program.RemoteWorker(url))


class _RouteOnImport:
    """A finder that finds nothing itself: it lets the path finder find the SDK modules that
    routing concerns, and routes each right after it has loaded."""

    def __init__(self, url: str):
        self.url = url
        self.pending: dict[str, Callable[[str, ModuleType], None]] = {
            "zelmar.core": _route_session, "zelmar.external.external_program": _use_worker}

    def find_spec(self, name: str, path: Optional[Sequence[str]] = None, target: Any = None) -> Any:
        route = self.pending.pop(name, None)
        if route is None:
            return None
        if not self.pending:
            sys.meta_path.remove(self)
        from importlib.machinery import PathFinder

        spec = PathFinder.find_spec(name, path)
        loader = getattr(spec, "loader", None)
        if loader is None or not hasattr(loader, "exec_module"):
            return spec
        execute, url = loader.exec_module, self.url

        def exec_module(module: ModuleType) -> None:
            execute(module)
            try:
                route(url, module)
            except Exception as error:  # noqa: BLE001 - the application goes on unrouted
                _report(url, error)

        loader.exec_module = exec_module
        return spec


def install(url: str) -> None:
    """Routes this process to the simulator at url (http://127.0.0.1:PORT), now for what is
    loaded already, else as soon as it loads."""
    _check(url)
    url = url.rstrip("/")
    waiting = _RouteOnImport(url)
    for name, route in list(waiting.pending.items()):
        if name in sys.modules:
            del waiting.pending[name]
            route(url, sys.modules[name])
    if waiting.pending:
        sys.meta_path.insert(0, waiting)


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
        _report(url, error)
