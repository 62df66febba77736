"""Helpers shared by the tests."""
import subprocess
import sys
import textwrap


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter: a module loads once per process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
