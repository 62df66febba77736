# Types of zelmar.external.brimvale, a compiled module: its members, their signatures and
# what they return, for editors and type checkers.
import dataclasses as dataclasses
import re as re
from textwrap import dedent as dedent
from typing import Any, Optional as Optional

from zelmar._vendor.requests.exceptions import HTTPError as HTTPError
from zelmar.core import File as File, _Context as _Context

_BASE_URL: str
__test__: dict[str, Any]

@dataclasses.dataclass
class BrimvaleFileVersion:
    """Do not instantiate this class directly, it is created from :class:`BrimvaleFile`."""

    _access_token: str
    _data: dict[str, Any]
    @property
    def urn(self) -> str: ...
    @property
    def attributes(self) -> dict[str, Any]: ...
    @property
    def storage_url(self) -> Optional[str]: ...
    def get_file(self) -> File: ...

class BrimvaleFile:
    """Represents a file stored on Brimvale cloud storage."""

    _url: str
    _latest_version: Optional[BrimvaleFileVersion]
    _hub: Optional[dict[str, Any]]
    _aec_data_model_element_group: Optional[dict[str, Any]]
    def __init__(self, url: str) -> None: ...
    @property
    def url(self) -> str: ...
    @property
    def urn(self) -> str: ...
    @property
    def project_id(self) -> str: ...
    def get_hub_id(self, access_token: str) -> str: ...
    def get_region(self, access_token: str) -> str: ...
    def get_latest_version(self, access_token: str) -> BrimvaleFileVersion: ...
    def get_aec_data_model_element_group_id(self, access_token: str) -> str: ...
    def _get_hub(self, access_token: str) -> dict[str, Any]: ...

class _DataManagementAPI:
    PROJECT_BASE_URL: str
    DATA_BASE_URL: str
    OSS_BASE_URL: str
    @staticmethod
    def _extract_element_id_from_url(*, url: str, element_category: str) -> Optional[str]: ...
    @classmethod
    def extract_project_id_from_url(cls, url: str) -> Optional[str]: ...
    @classmethod
    def extract_item_id_from_url(cls, url: str) -> Optional[str]: ...
    @classmethod
    def extract_bucket_key_from_url(cls, url: str) -> Optional[str]: ...
    @classmethod
    def extract_object_key_from_url(cls, url: str) -> Optional[str]: ...
    @classmethod
    def get_item_tip(cls, *, project_id: str, item_id: str, access_token: str) -> dict[str, Any]: ...
    @classmethod
    def get_signed_s3_url(cls, *, bucket_key: str, object_key: str, access_token: str) -> dict[str, Any]: ...
    @classmethod
    def get_hubs(cls, *, access_token: str) -> dict[str, Any]: ...
    @classmethod
    def get_hub(cls, *, hub_id: str, access_token: str) -> dict[str, Any]: ...
    @classmethod
    def get_project(cls, *, hub_id: str, project_id: str, access_token: str) -> dict[str, Any]: ...

class _AECDataModelAPI:
    GRAPHQL_URL: str
    @classmethod
    def _send_request(
        cls, query: str, region: str, access_token: str, variables: Optional[dict[str, Any]] = None
    ) -> dict[str, Any]: ...
    @classmethod
    def get_hubs(
        cls, *, region: str, access_token: str, limit: Optional[int] = None, cursor: Optional[str] = None
    ) -> dict[str, Any]: ...
    @classmethod
    def get_element_groups_by_hub(
        cls,
        *,
        hub_id: str,
        region: str,
        access_token: str,
        file_urn: Optional[str] = None,
        limit: Optional[int] = None,
        cursor: Optional[str] = None,
    ) -> dict[str, Any]: ...
    @staticmethod
    def _get_pagination_variable(*, limit: Optional[int] = None, cursor: Optional[str] = None) -> dict[str, Any]: ...
