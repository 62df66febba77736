"""pytest fixtures for application tests (registered automatically once zelmar-sim is installed).

- ``zelmar_world``: the World the simulator serves; the seeded default unless a test
  module or conftest overrides this fixture with its own.
- ``zelmar_platform``: a running Simulator over that world, with the SDK routed to it.
"""
from typing import Iterator

import pytest

from .server import Simulator
from .world import World, default_world


@pytest.fixture
def zelmar_world() -> World:
    """The World the simulator serves: hubs, projects, items with their versions, AEC Data
    Model hubs and element groups, tokens. The seeded default world (DEMO_TOKEN sees the
    demo file DEMO_ITEM of project DEMO_PROJECT) unless a test module or conftest overrides
    this fixture with a World of its own."""
    return default_world()


@pytest.fixture
def zelmar_platform(zelmar_world: World) -> Iterator[Simulator]:
    """A running Simulator over zelmar_world on a free loopback port. While the test runs,
    the SDK session's requests for the platform go to it and ExternalProgram jobs run on its
    analysis worker; .requests and .log() show what it saw, .fault(...) injects failures."""
    with Simulator(zelmar_world) as simulator:
        yield simulator
