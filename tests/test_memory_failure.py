"""Out of memory at every step: each allocation of an operation fails in turn, and the result is
a MemoryError, the right answer or the documented error, never anything else, an empty message
or a leak. Runs on a debug interpreter (make refcheck), whose _testcapi fails allocations."""
import subprocess
import sys
import textwrap

import pytest

try:
    from _testcapi import set_nomemory  # noqa: F401
except ImportError:
    set_nomemory = None

pytestmark = pytest.mark.skipif(set_nomemory is None or not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter with _testcapi.set_nomemory (make refcheck)")

CHILD = """
import sys, _testcapi
from io import BytesIO
from test_leaks import QuietSession, URL, FakeResponse
import zelmar.core
from zelmar.external import brimvale as b, dunmere as d

class Endless(QuietSession):
    def post(self, url, headers, json, timeout):
        return FakeResponse({"data": {"hubs": {"results": [], "pagination": {"cursor": "same"}}}})

def located(session=QuietSession()):
    zelmar.core._Context.session_with_retries = session
    handle = b.BrimvaleFile(URL)
    handle._hub = {"id": "H", "attributes": {"region": "EU"}}
    return handle

File = b.BrimvaleFile
OPERATIONS = {
    "extraction": lambda: b._DataManagementAPI.extract_item_id_from_url(URL),
    "latest version and download": lambda: File(URL).get_latest_version("t").get_file().url,
    "hub search": lambda: File(URL).get_hub_id("t"),
    "element group": lambda: located().get_aec_data_model_element_group_id("t"),
    "endless listing": lambda: located(Endless()).get_aec_data_model_element_group_id("t"),
    "token outside Latin-1": lambda: File(URL).get_latest_version("t\\u2019"),
    "argument error": lambda: File.get_hub_id(File(URL), "t", extra=1),
    "job content": lambda: d.DunmereAnalysis(BytesIO(b"abc"))._generate_job_content().body,
}
operation = OPERATIONS[sys.argv[1]]

def attempt(position):  # allocation number `position` fails; 0: none does
    zelmar.core._Context.session_with_retries = QuietSession()
    if position:
        _testcapi.set_nomemory(position - 1, position)
    try:
        result = operation()
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        chain = []  # each exception and its message, down the causes
        while e is not None:
            chain += [type(e).__name__, str(e)]
            e = e.__cause__
        return tuple(chain)
    _testcapi.remove_mem_hooks()
    return ("value", result)

expected = attempt(0)
print("expected", repr(expected), flush=True)
clean = 0
refs = gained = sys.gettotalrefcount()  # ints that are not immortal, as the later ones
same = True
for position in range(int(sys.argv[2]), 100_000):
    print("position", position, flush=True)
    outcome = attempt(position)
    # The same path again: a leak shows as references gained, on every run. The interpreter
    # may fill a cache of its own once (3.14 and later): a gain is measured again.
    for _ in range(2):
        refs = sys.gettotalrefcount()
        same = attempt(position) == outcome
        gained = sys.gettotalrefcount() - refs
        if gained <= 0:
            break
    print("outcome", repr(outcome), gained, flush=True)
    # Past the operation's last allocation every run is clean.
    clean = clean + 1 if same and outcome == expected else 0
    if clean == 300:
        break
"""

OURS = ("BrimvaleFile", "BrimvaleFileVersion", "_DataManagementAPI", "_AECDataModelAPI", "DunmereAnalysis")


def interpreters_own(stderr):
    """A crash in the interpreter's own code: one of its assertions, or a Python function it
    ran that returned NULL without an exception (3.11 loses the error when it cannot make a frame
    or traceback object)."""
    lines = stderr.splitlines()
    assertion = any("Assertion" in line and ("Python/" in line or "Objects/" in line) for line in lines)
    lost = [line for line in lines if "returned NULL without setting an exception" in line and "<function" in line]
    return assertion or (bool(lost) and not any(f"<function {name}." in line for line in lost for name in OURS))


def sweep(name):
    """Each position's outcome and references gained, and the positions where the interpreter
    crashed in its own code (the child goes on past each)."""
    outcomes, skipped, start, expected = {}, {}, 1, None
    while True:
        child = subprocess.run([sys.executable, "-c", CHILD, name, str(start)], capture_output=True, text=True,
                               timeout=900, cwd="tests")
        position = start
        for line in child.stdout.splitlines():
            kind, _, rest = line.partition(" ")
            if kind == "expected":
                expected = eval(rest)
            elif kind == "position":
                position = int(rest)
            else:
                text, _, gained = rest.rpartition(" ")
                outcomes[position] = (eval(text), int(gained))
        if child.returncode == 0:
            return expected, outcomes, skipped
        assert child.returncode < 0 and interpreters_own(child.stderr), (name, position, child.stderr[-3000:])
        skipped[position] = child.stderr.strip().splitlines()[0]
        start = position + 1


@pytest.mark.parametrize("name", ["extraction", "latest version and download", "hub search", "element group",
                                  "endless listing", "token outside Latin-1", "argument error", "job content"])
def test_every_failed_allocation_ends_in_memory_error_or_the_answer(name):
    expected, outcomes, skipped = sweep(name)
    assert expected[0] == "value" or expected[1], expected
    wrong = {p: o for p, (o, _) in outcomes.items() if o != expected and o[0] != "MemoryError"}
    leaks = {p: gained for p, (_, gained) in outcomes.items() if gained > 0}
    assert wrong == {} and leaks == {}, (wrong, leaks)
    assert sum(o[0] == "MemoryError" for o, _ in outcomes.values()) > 0
    for position, reason in skipped.items():  # the interpreter's, not the module's
        print(f"{name}: allocation {position} skipped, the interpreter crashed in its own code: {reason}")
