"""A recording stand-in for the SDK's HTTP session: what goes out, and scripted answers."""
from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any, Callable, Union

from zelmar._vendor.requests.exceptions import HTTPError


@dataclass
class Request:
    """One call of the session, exactly as it was made."""

    method: str
    args: tuple
    kwargs: list  # (name, value) pairs in the order they were passed

    @property
    def url(self) -> str:
        return self.args[0]

    @property
    def keywords(self) -> list:
        return [name for name, _ in self.kwargs]

    def kw(self, name: str) -> Any:
        return dict(self.kwargs)[name]


class FakeResponse:
    """A response: an error status raises HTTPError from raise_for_status()."""

    def __init__(self, body: Any = None, status: int = 200, json_error: Exception | None = None):
        self.body = body
        self.status_code = status
        self.json_error = json_error
        self.json_calls = 0

    def raise_for_status(self) -> None:
        if self.status_code >= 400:
            raise HTTPError(f"{self.status_code} Client Error", response=self)

    def json(self) -> Any:
        self.json_calls += 1
        if self.json_error is not None:
            raise self.json_error
        return self.body


Answer = Union[FakeResponse, BaseException, Callable[[Request], Any]]


@dataclass
class RecordingSession:
    """Answers requests from a script, in order, and records every request.

    Each scripted answer is a FakeResponse, an exception to raise from the call, or a
    callable taking the Request and returning either of those.
    """

    script: deque = field(default_factory=deque)
    requests: list = field(default_factory=list)

    def add(self, *answers: Answer) -> "RecordingSession":
        self.script.extend(answers)
        return self

    def get(self, *args, **kwargs):
        return self._answer("GET", args, kwargs)

    def post(self, *args, **kwargs):
        return self._answer("POST", args, kwargs)

    def _answer(self, method: str, args: tuple, kwargs: dict):
        request = Request(method, args, list(kwargs.items()))
        self.requests.append(request)
        if not self.script:
            raise AssertionError(f"unexpected request: {method} {args}")
        answer = self.script.popleft()
        if callable(answer) and not isinstance(answer, (FakeResponse, BaseException)):
            answer = answer(request)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    @property
    def urls(self) -> list:
        return [request.url for request in self.requests]


def ok(body: Any) -> FakeResponse:
    return FakeResponse(body)


def status(code: int) -> FakeResponse:
    return FakeResponse({"error": code}, status=code)


def chain(exc: BaseException) -> list:
    """The messages along an exception's __cause__ chain, outermost first."""
    out = []
    while exc is not None:
        out.append((type(exc), str(exc)))
        exc = exc.__cause__
    return out
