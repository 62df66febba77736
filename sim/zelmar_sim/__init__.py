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
from .server import ENDPOINTS, FAULT_TARGETS, Fault, LoggedRequest, Simulator
from .world import DEMO_ITEM, DEMO_PROJECT, DEMO_STI, DEMO_TOKEN, EXPIRED_TOKEN, World, default_world

__all__ = [
    "Simulator", "World", "default_world", "Fault", "LoggedRequest", "ENDPOINTS", "FAULT_TARGETS",
    "DEMO_TOKEN", "EXPIRED_TOKEN", "DEMO_PROJECT", "DEMO_ITEM", "DEMO_STI",
]
