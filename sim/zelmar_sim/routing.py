"""Sending a requests session's traffic for the platform's origin to the simulator."""
from __future__ import annotations

from typing import Any, Callable

from urllib.parse import urlsplit, urlunsplit

from requests import PreparedRequest, Response, Session
from requests.adapters import HTTPAdapter


class RoutingAdapter(HTTPAdapter):
    """Sends each request to `target` instead of its own host, keeping path, query, headers
    and the Host header; retries as the adapter it replaces did."""

    def __init__(self, target: str, max_retries: Any = 0):
        super().__init__(max_retries=max_retries)
        self.target = urlsplit(target)

    def send(self, request: PreparedRequest, **kwargs: Any) -> Response:  # type: ignore[override]
        assert request.url is not None
        url = urlsplit(request.url)
        request.headers["Host"] = url.netloc
        request.url = urlunsplit((self.target.scheme, self.target.netloc, url.path, url.query, ""))
        return super().send(request, **kwargs)


def route_session(session: Session, origin: str, target: str) -> Callable[[], None]:
    """Mounts a RoutingAdapter for `origin` on `session`; returns the function that undoes it."""
    prefix = origin.rstrip("/") + "/"
    replaced = session.adapters.get(prefix)
    retries = getattr(session.get_adapter(prefix), "max_retries", 0)
    session.mount(prefix, RoutingAdapter(target, max_retries=retries))

    def undo() -> None:
        if replaced is not None:
            session.mount(prefix, replaced)
        else:
            session.adapters.pop(prefix, None)

    return undo
