"""A loopback simulator of the services that zelmar.external's modules talk to.

``Simulator`` serves the Brimvale platform's REST and GraphQL endpoints as the modules use
them, from a ``World`` of hubs, projects, items, element groups and tokens, and runs jobs of
``ExternalProgram`` on an analysis worker process. While it runs, the stand-in SDK's
session sends the platform's requests to it; nothing in the modules is rebound.

    from zelmar_sim import Simulator, default_world

    with Simulator(default_world()) as platform:
        ...  # BrimvaleFile / DunmereAnalysis calls go to the simulator
        platform.log()  # [(method, path), ...]
"""
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # what type checkers see; at run time each name loads on first use
    from .server import ENDPOINTS, FAULT_TARGETS, Fault, LoggedRequest, Simulator
    from .world import DEMO_ITEM, DEMO_PROJECT, DEMO_STI, DEMO_TOKEN, EXPIRED_TOKEN, World, default_world

# Each name is loaded on first use: the start-up hook imports this package in every process
# of an environment routed to the simulator, and must not pay for the server there.
_WHERE = {"Simulator": "server", "Fault": "server", "LoggedRequest": "server", "ENDPOINTS": "server",
          "FAULT_TARGETS": "server", "World": "world", "default_world": "world", "DEMO_TOKEN": "world",
          "EXPIRED_TOKEN": "world", "DEMO_PROJECT": "world", "DEMO_ITEM": "world", "DEMO_STI": "world"}


def __getattr__(name: str) -> Any:
    if name not in _WHERE:
        raise AttributeError(f"module 'zelmar_sim' has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f".{_WHERE[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_WHERE])


__all__ = [
    "Simulator", "World", "default_world", "Fault", "LoggedRequest", "ENDPOINTS", "FAULT_TARGETS",
    "DEMO_TOKEN", "EXPIRED_TOKEN", "DEMO_PROJECT", "DEMO_ITEM", "DEMO_STI",
]
