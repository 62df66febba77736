"""The SDK's generic external-program job, as far as the compiled modules use it.

A job class derives from ``ExternalProgram`` and supplies two hooks:
``_generate_job_content()`` gives the ``_JobContent`` sent to a worker, and
``_handle_execution_error(message)`` may turn a worker's error message into an exception.
``execute(timeout=...)`` hands the job to the current worker, calls the error hook when the
worker reports an error (and raises ``ExecutionError`` with the message if the hook returns),
and stores the result content for ``_get_result_content()``.

Workers are pluggable (``use_worker``). The default, ``LocalWorker``, runs in this process;
it is a stand-in for the real analysis workers and computes no real analysis.
"""
from __future__ import annotations

import base64
import hashlib
import time
from abc import ABCMeta, abstractmethod
from dataclasses import dataclass
from io import BytesIO
from typing import Any, Optional, Protocol

from ..errors import ExecutionError

__all__ = ["ExternalProgram", "LocalWorker", "RemoteWorker", "WorkerOutcome", "use_worker", "current_worker"]


@dataclass(frozen=True)
class _JobContent:
    """What a job sends to its worker: the Base64 text of the input file."""

    body: str

    def __repr__(self) -> str:  # the body can be megabytes
        return f"_JobContent(body=<{len(self.body)} characters>)"


@dataclass(frozen=True)
class WorkerOutcome:
    """A worker's answer: result content, or the error message it reported."""

    result_content: Optional[dict[str, Any]] = None
    error_message: Optional[str] = None


class Worker(Protocol):
    def run(self, program: str, version: int, job: _JobContent, timeout: float) -> WorkerOutcome: ...


# Worker messages with the exception text and class they stand for; None: not an error.
_dseries_exception_map = {
    "ERROR: input file is empty": ("The .sti input file is empty", ValueError),
    "ERROR: input file could not be read": ("The .sti input file could not be read by Dunmere", ValueError),
    "ERROR: no licence available": ("No Dunmere licence is available on the worker, try again later", ExecutionError),
    "WARNING: calculation finished with warnings": ("", None),
}

#: Marks a .sti input whose first line the stand-in worker reports as its message.
WORKER_MESSAGE_PREFIX = b"#worker-message: "
#: The first line a well-formed .sti input starts with, for the stand-in worker.
STI_HEADER = b"Dunmere input file"


def result_files(files: dict[str, bytes]) -> dict[str, Any]:
    """Result content holding files (name -> bytes), as workers store it."""
    return {"files": [{"name": name, "content": base64.b64encode(data).decode("ascii")} for name, data in files.items()]}


def _get_dseries_file_body(result_content: dict[str, Any], extension: str) -> Optional[BytesIO]:
    """The result file whose name ends with ``extension``, or None when there is none."""
    for entry in result_content.get("files", []):
        if entry["name"].endswith(extension):
            return BytesIO(base64.b64decode(entry["content"]))
    return None


def stand_in_analysis(program: str, version: int, data: bytes) -> WorkerOutcome:
    """What the stand-in workers do with an input: check it and write a report about it.

    No stability analysis is computed: the ".sto" file says so and describes the input.
    An input that lacks the .sti header also gets an ".err" file listing the problem.
    """
    if not data:
        return WorkerOutcome(error_message="ERROR: input file is empty")
    if data.startswith(WORKER_MESSAGE_PREFIX):
        line = data[len(WORKER_MESSAGE_PREFIX):].split(b"\n", 1)[0]
        return WorkerOutcome(error_message=line.decode("utf-8", "replace"))
    lines = len(data.splitlines())
    report = (
        f"{program} v{version} stand-in worker: no real stability analysis was computed.\n"
        f"input bytes: {len(data)}\n"
        f"input lines: {lines}\n"
        f"input sha256: {hashlib.sha256(data).hexdigest()}\n"
    ).encode()
    files = {"input.sto": report}
    if not data.startswith(STI_HEADER):
        files["input.err"] = f"input does not start with {STI_HEADER.decode()!r}\n".encode()
    return WorkerOutcome(result_content=result_files(files))


def run_stand_in_job(program: str, version: int, body: str) -> WorkerOutcome:
    """A job's Base64 body through the stand-in analysis, as every stand-in worker runs it."""
    try:
        data = base64.b64decode(body, validate=True)
    except ValueError:
        return WorkerOutcome(error_message="ERROR: input file could not be read")
    return stand_in_analysis(program, version, data)


class LocalWorker:
    """Runs jobs in this process with the stand-in analysis."""

    def run(self, program: str, version: int, job: _JobContent, timeout: float) -> WorkerOutcome:
        started = time.monotonic()
        outcome = run_stand_in_job(program, version, job.body)
        if time.monotonic() - started > timeout:
            raise ExecutionError(f"The job did not finish within {timeout} seconds")
        return outcome


class RemoteWorker:
    """Runs jobs on a worker process through a job service at ``url`` (the platform
    simulator's): submits the job, then polls its state until it ends or time runs out."""

    def __init__(self, url: str, poll_seconds: float = 0.02) -> None:
        self.url = url.rstrip("/")
        self.poll_seconds = poll_seconds

    def run(self, program: str, version: int, job: _JobContent, timeout: float) -> WorkerOutcome:
        import requests

        jobs = f"{self.url}/worker/v1/jobs"
        with requests.Session() as session:
            answer = session.post(jobs, json={"program": program, "version": version, "body": job.body}, timeout=10)
            answer.raise_for_status()
            job_id = answer.json()["id"]
            deadline = time.monotonic() + timeout
            while True:
                answer = session.get(f"{jobs}/{job_id}", timeout=10)
                answer.raise_for_status()
                state = answer.json()
                if state["status"] == "finished":
                    return WorkerOutcome(result_content=state["result_content"])
                if state["status"] == "failed":
                    return WorkerOutcome(error_message=state["error_message"])
                if time.monotonic() >= deadline:
                    session.delete(f"{jobs}/{job_id}", timeout=10)
                    raise ExecutionError(f"The job did not finish within {timeout} seconds")
                time.sleep(self.poll_seconds)


_worker: Worker = LocalWorker()


def current_worker() -> Worker:
    return _worker


def use_worker(worker: Worker) -> Worker:
    """Makes ``worker`` run later jobs; returns the one it replaces."""
    global _worker
    previous, _worker = _worker, worker
    return previous


class ExternalProgram(metaclass=ABCMeta):
    """A job for an external program, run on a worker."""

    def __init__(self, queue_name: str, version: int) -> None:
        self._queue_name = queue_name
        self._version = version
        self._result_content: Optional[dict[str, Any]] = None

    @abstractmethod
    def _generate_job_content(self) -> _JobContent:
        """The content sent to the worker."""

    def _handle_execution_error(self, message: str) -> None:
        """Turns a worker's error message into an exception; returning leaves it generic."""

    def execute(self, timeout: int) -> None:
        """Runs the job on the worker and waits at most ``timeout`` seconds for it."""
        job = self._generate_job_content()
        outcome = current_worker().run(self._queue_name, self._version, job, timeout)
        if outcome.error_message is not None:
            self._handle_execution_error(outcome.error_message)
            raise ExecutionError(outcome.error_message)
        self._result_content = outcome.result_content

    def _get_result_content(self) -> dict[str, Any]:
        if self._result_content is None:
            raise ExecutionError("The job has no results: call execute() first")
        return self._result_content
