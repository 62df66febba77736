"""The requests exceptions, so that ``HTTPError`` here is the class ``raise_for_status()`` raises.

Each name is imported as itself and listed in ``__all__``: that is what marks a re-export for
type checkers (pyright, mypy's strict mode), so ``from zelmar._vendor.requests.exceptions
import HTTPError`` type-checks as it runs.
"""
from requests.exceptions import ChunkedEncodingError as ChunkedEncodingError
from requests.exceptions import ConnectionError as ConnectionError  # noqa: A004
from requests.exceptions import ConnectTimeout as ConnectTimeout
from requests.exceptions import ContentDecodingError as ContentDecodingError
from requests.exceptions import FileModeWarning as FileModeWarning
from requests.exceptions import HTTPError as HTTPError
from requests.exceptions import InvalidHeader as InvalidHeader
from requests.exceptions import InvalidJSONError as InvalidJSONError
from requests.exceptions import InvalidProxyURL as InvalidProxyURL
from requests.exceptions import InvalidSchema as InvalidSchema
from requests.exceptions import InvalidURL as InvalidURL
from requests.exceptions import JSONDecodeError as JSONDecodeError
from requests.exceptions import MissingSchema as MissingSchema
from requests.exceptions import ProxyError as ProxyError
from requests.exceptions import ReadTimeout as ReadTimeout
from requests.exceptions import RequestException as RequestException
from requests.exceptions import RequestsDependencyWarning as RequestsDependencyWarning
from requests.exceptions import RequestsWarning as RequestsWarning
from requests.exceptions import RetryError as RetryError
from requests.exceptions import SSLError as SSLError
from requests.exceptions import StreamConsumedError as StreamConsumedError
from requests.exceptions import Timeout as Timeout
from requests.exceptions import TooManyRedirects as TooManyRedirects
from requests.exceptions import UnrewindableBodyError as UnrewindableBodyError
from requests.exceptions import URLRequired as URLRequired

# Other libraries' classes under the names requests gives them (urllib3's HTTPError, json's
# decode error): there at run time as in requests, but not this module's own to export.
from requests.exceptions import BaseHTTPError, CompatJSONDecodeError  # type: ignore[attr-defined]  # noqa: F401

__all__ = [
    "ChunkedEncodingError", "ConnectionError", "ConnectTimeout", "ContentDecodingError",
    "FileModeWarning", "HTTPError", "InvalidHeader", "InvalidJSONError", "InvalidProxyURL",
    "InvalidSchema", "InvalidURL", "JSONDecodeError", "MissingSchema", "ProxyError",
    "ReadTimeout", "RequestException", "RequestsDependencyWarning",
    "RequestsWarning", "RetryError", "SSLError", "StreamConsumedError", "Timeout",
    "TooManyRedirects", "UnrewindableBodyError", "URLRequired",
]
