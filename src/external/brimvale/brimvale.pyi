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
    """::version(v14.25.0)

    .. warning:: Do not instantiate this class directly, it is created from :class:`BrimvaleFile`.
    """

    _access_token: str
    _data: dict[str, Any]
    @property
    def urn(self) -> str:
        """Get the unique resource name (also called "id") of this version of the file on Brimvale cloud storage. """
    @property
    def attributes(self) -> dict[str, Any]:
        """Get the attributes of this version of the file on Brimvale cloud storage. """
    @property
    def storage_url(self) -> Optional[str]:
        """::version(v14.26.0)

        Get the storage URL of this version of the file.
        """
    def get_file(self) -> File:
        """Download the content of this version of the file from Brimvale cloud storage. """

class BrimvaleFile:
    """::version(v14.25.0)

    Represents a file stored on Brimvale cloud storage (https://www.brimvale.example).

    Example:

    .. code-block:: python

        import zelmar

        # Set up OAuth2 integration to get access token
        integration = zelmar.external.OAuth2Integration("brimvale-integration")
        token = integration.get_access_token()

        # Get the BrimvaleFile from a parametrization field
        brimvale_file = params.brimvale_file  # value of BrimvaleFileField

        # Get the AEC Data Model element group ID (requires API call)
        element_group_id = brimvale_file.get_aec_data_model_element_group_id(token)
        print(f"The element group id is: {element_group_id}")

        # Access file properties and metadata:
        project_id = brimvale_file.project_id  # Can be extracted from URL
        urn = brimvale_file.urn  # Get the unique resource name
        hub_id = brimvale_file.get_hub_id(token)  # Requires API call
        region = brimvale_file.get_region(token)  # Requires API call
    """

    _url: str
    _latest_version: Optional[BrimvaleFileVersion]
    _hub: Optional[dict[str, Any]]
    _aec_data_model_element_group: Optional[dict[str, Any]]
    def __init__(self, url: str) -> None: ...
    @property
    def url(self) -> str:
        """URL of the file on Brimvale cloud storage. """
    @property
    def urn(self) -> str:
        """::version(v14.26.0)

        Get the unique resource name (also called "id") of this file on Brimvale cloud storage.
        """
    @property
    def project_id(self) -> str:
        """::version(v14.26.0)

        Get the id of the project this file belongs to.
        """
    def get_hub_id(self, access_token: str) -> str:
        """::version(v14.26.0)

        Get the id of the hub this file belongs to.
        """
    def get_region(self, access_token: str) -> str:
        """::version(v14.26.0)

        Get the region of the hub this file belongs to.
        """
    def get_latest_version(self, access_token: str) -> BrimvaleFileVersion:
        """Get the latest version of the file on Brimvale cloud storage.

        :param access_token: Brimvale Platform Services token to access the file.
        """
    def get_aec_data_model_element_group_id(self, access_token: str) -> str:
        """::version(v14.26.0)

        Get the AEC Data Model ElementGroup ID associated with this file.
        """
    def _get_hub(self, access_token: str) -> dict[str, Any]: ...

class _DataManagementAPI:
    """https://developer.brimvale.example/data-management/guide/ """
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
    def get_item_tip(cls, *, project_id: str, item_id: str, access_token: str) -> dict[str, Any]:
        """https://developer.brimvale.example/data-management/reference/item-tip/ """
    @classmethod
    def get_signed_s3_url(cls, *, bucket_key: str, object_key: str, access_token: str) -> dict[str, Any]:
        """https://developer.brimvale.example/data-management/reference/signed-download/ """
    @classmethod
    def get_hubs(cls, *, access_token: str) -> dict[str, Any]:
        """https://developer.brimvale.example/data-management/reference/hubs/ """
    @classmethod
    def get_hub(cls, *, hub_id: str, access_token: str) -> dict[str, Any]:
        """https://developer.brimvale.example/data-management/reference/hub/ """
    @classmethod
    def get_project(cls, *, hub_id: str, project_id: str, access_token: str) -> dict[str, Any]:
        """https://developer.brimvale.example/data-management/reference/project/ """

class _AECDataModelAPI:
    """https://developer.brimvale.example/aec-data-model/guide/ """
    GRAPHQL_URL: str
    @classmethod
    def _send_request(
        cls, query: str, region: str, access_token: str, variables: Optional[dict[str, Any]] = None
    ) -> dict[str, Any]: ...
    @classmethod
    def get_hubs(
        cls, *, region: str, access_token: str, limit: Optional[int] = None, cursor: Optional[str] = None
    ) -> dict[str, Any]:
        """https://developer.brimvale.example/aec-data-model/reference/hubs/ """
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
    ) -> dict[str, Any]:
        """https://developer.brimvale.example/aec-data-model/reference/element-groups-by-hub/ """
    @staticmethod
    def _get_pagination_variable(*, limit: Optional[int] = None, cursor: Optional[str] = None) -> dict[str, Any]: ...
