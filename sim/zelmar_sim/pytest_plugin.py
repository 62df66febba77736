"""pytest fixtures for application tests (registered automatically once zelmar-sim is installed).

- ``zelmar_world``: the World the simulator serves; the seeded default unless a test
  module or conftest overrides this fixture with its own.
- ``zelmar_platform``: a running Simulator over that world, with the SDK routed to it.
"""
import pytest

from .server import Simulator
from .world import default_world


@pytest.fixture
def zelmar_world():
    return default_world()


@pytest.fixture
def zelmar_platform(zelmar_world):
    with Simulator(zelmar_world) as simulator:
        yield simulator
