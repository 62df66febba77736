"""The requests library as the SDK vendors it: the stand-in re-exports the installed one."""
from requests import *  # noqa: F401,F403
from requests import Response, Session  # noqa: F401

from . import exceptions  # noqa: F401
