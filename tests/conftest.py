import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from fakes import RecordingSession  # noqa: E402

SANITIZED = os.environ.get("ZELMAR_SANITIZE") == "1"


@pytest.fixture(scope="session")
def brimvale():
    return importlib.import_module("zelmar.external.brimvale")


@pytest.fixture
def session(monkeypatch):
    """A recording session in place of the SDK's, for every request the modules send."""
    import zelmar.core

    fake = RecordingSession()
    monkeypatch.setattr(zelmar.core._Context, "session_with_retries", fake)
    return fake
