"""The requests library as the SDK vendors it: the stand-in re-exports the installed one.

The public API is imported name by name and listed in ``__all__``, so that type checkers
take these names as this package's own (see ``exceptions``).
"""
from requests import ConnectionError as ConnectionError  # noqa: A004
from requests import ConnectTimeout as ConnectTimeout
from requests import HTTPError as HTTPError
from requests import JSONDecodeError as JSONDecodeError
from requests import PreparedRequest as PreparedRequest
from requests import ReadTimeout as ReadTimeout
from requests import Request as Request
from requests import RequestException as RequestException
from requests import Response as Response
from requests import Session as Session
from requests import Timeout as Timeout
from requests import TooManyRedirects as TooManyRedirects
from requests import URLRequired as URLRequired
from requests import codes as codes
from requests import delete as delete
from requests import get as get
from requests import head as head
from requests import options as options
from requests import patch as patch
from requests import post as post
from requests import put as put
from requests import request as request
from requests import session as session

from . import exceptions as exceptions

__all__ = [
    "ConnectionError", "ConnectTimeout", "HTTPError", "JSONDecodeError", "PreparedRequest",
    "ReadTimeout", "Request", "RequestException", "Response", "Session", "Timeout",
    "TooManyRedirects", "URLRequired", "codes", "delete", "exceptions", "get", "head", "options",
    "patch", "post", "put", "request", "session",
]
