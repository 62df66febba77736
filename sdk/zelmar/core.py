"""Core services of the SDK that the compiled modules use: the HTTP session and ``File``."""
from __future__ import annotations

import logging
import re
from io import BytesIO
from typing import Optional, Union
from urllib.parse import urlsplit

import requests
from requests.adapters import HTTPAdapter
from urllib3.util.retry import Retry

#: Statuses worth another try: rate limiting and passing server trouble.
RETRY_STATUSES = (429, 500, 502, 503, 504)
#: Seconds a ``File`` waits for its download.
DOWNLOAD_TIMEOUT = 60


def _retry_policy() -> Retry:
    # raise_on_status=False: when the tries on an error status run out, the last response
    # comes back, so that raise_for_status() raises HTTPError (callers rely on that class)
    # rather than urllib3 giving up with a RetryError.
    return Retry(
        total=3,
        connect=3,
        read=1,
        status=3,
        backoff_factor=0.1,
        status_forcelist=RETRY_STATUSES,
        allowed_methods=None,  # GraphQL queries are POSTs and as safe to repeat as GETs
        raise_on_status=False,
        respect_retry_after_header=True,
    )


def new_session_with_retries() -> requests.Session:
    """A ``requests.Session`` that retries connection errors and 429/5xx answers."""
    session = requests.Session()
    adapter = HTTPAdapter(max_retries=_retry_policy())
    session.mount("https://", adapter)
    session.mount("http://", adapter)
    return session


#: What stands for a URL's query string wherever the SDK shows the URL: a signed URL's query
#: is a credential.
QUERY_HIDDEN = "?[query hidden]"


class _QueryStringsLeftOut(logging.Filter):
    """urllib3 logs each request's URL at DEBUG, query string included, and its retry and
    connection messages name it too: a signed download URL's signature would reach the
    application's logs. Records of the session's loggers keep everything but query strings."""

    _query = re.compile(r"\?[^\s\"',)]*")

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        if "?" in message:
            record.msg, record.args = self._query.sub(QUERY_HIDDEN, message), None
        return True


for _name in ("urllib3.connectionpool", "urllib3.poolmanager", "urllib3.util.retry", "urllib3.connection"):
    logging.getLogger(_name).addFilter(_QueryStringsLeftOut())


class _Context:
    """Process-wide services of the SDK.

    ``session_with_retries`` is an attribute (not a method): every request of the compiled
    modules reads it afresh, so tests and tools may replace it.
    """

    session_with_retries: requests.Session = new_session_with_retries()


class File:
    """A file's content, held in memory or fetched from a URL.

    ``File.from_url`` does not download at once: the content is fetched through
    ``_Context.session_with_retries`` on the first read and kept afterwards. A failed
    download raises the session's exception (``HTTPError`` for an error status) from
    that read, with the URL's query string (a signed URL's signature) left out of its
    message.
    """

    def __init__(self, *, data: Optional[bytes] = None, url: Optional[str] = None) -> None:
        if (data is None) == (url is None):
            raise ValueError("File needs exactly one of data and url")
        self._data = data
        self._url = url

    @classmethod
    def from_data(cls, data: Union[str, bytes]) -> "File":
        """A file holding ``data``; text is stored as UTF-8."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"File data must be str or bytes, not {type(data).__name__}")
        return cls(data=bytes(data))

    @classmethod
    def from_url(cls, url: str) -> "File":
        """A file whose content is downloaded from ``url`` on first read."""
        if not isinstance(url, str):
            raise TypeError(f"File url must be str, not {type(url).__name__}")
        return cls(url=url)

    @property
    def url(self) -> Optional[str]:
        """The URL the content comes from, or None for a file made from data."""
        return self._url

    def getvalue_binary(self) -> bytes:
        """The whole content as bytes."""
        if self._data is None:
            assert self._url is not None  # a File holds data or a URL
            try:
                response = _Context.session_with_retries.get(self._url, timeout=DOWNLOAD_TIMEOUT)
                response.raise_for_status()
            except requests.RequestException as error:
                failure = _without_query(error, self._url)
            else:
                self._data = response.content
                return self._data
            # Raised outside the handler, so that not even __context__ holds the original.
            raise failure
        return self._data

    def getvalue(self, encoding: str = "utf-8") -> str:
        """The whole content decoded as text."""
        return self.getvalue_binary().decode(encoding)

    def open_binary(self) -> BytesIO:
        """A new in-memory stream over the content."""
        return BytesIO(self.getvalue_binary())

    def __repr__(self) -> str:
        if self._data is None:
            # A signed download URL is a short-lived credential: keep it out of logs.
            return "File(from URL, not downloaded)"
        return f"File({len(self._data)} bytes)"


def _without_query(error: requests.RequestException, url: str) -> requests.RequestException:
    """The same kind of error, with the same request and response, whose message shows no
    query string of the URL asked for or of where the request ended up: a signed URL's
    query is a credential, and these messages end up in tracebacks and logs. The original
    is not chained to it, since its message (and its cause's) still carries the query."""
    urls = [url]
    for found in (error.request, error.response):
        seen = getattr(found, "url", None)
        if isinstance(seen, str):
            urls.append(seen)
    message = str(error)
    for query in sorted({urlsplit(u).query for u in urls} - {""}, key=len, reverse=True):
        message = message.replace("?" + query, QUERY_HIDDEN)
    return type(error)(message, request=error.request, response=error.response)
