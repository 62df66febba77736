"""The requests exceptions, so that ``HTTPError`` here is the class ``raise_for_status()`` raises."""
from requests.exceptions import *  # noqa: F401,F403
from requests.exceptions import (  # noqa: F401
    ConnectionError,
    HTTPError,
    JSONDecodeError,
    RequestException,
    RetryError,
    Timeout,
)
