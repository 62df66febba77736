"""The cloud-file module and the analysis job written in plain Python, step for step as the
compiled modules do them, their checks included (tokens a header cannot carry, identifiers
that would move the request, quotes in a filter, server errors in a hub search, listings
without end): the yardstick of `make bench`. Not used by anything else."""
import base64
import dataclasses
import re
from io import BytesIO
from textwrap import dedent
from typing import Optional, Union, cast

from zelmar._vendor.requests.exceptions import HTTPError
from zelmar.core import File, _Context
from zelmar.external.external_program import ExternalProgram, _JobContent

_BASE_URL = "https://api.brimvale.example"


def _bearer_headers(access_token):
    value = "Bearer " + access_token
    if "\r" in value or "\n" in value or "\0" in value:
        raise ValueError("Access token must not contain line breaks or NUL characters")
    if not value.isascii() and max(value) > "\xff":
        raise ValueError("Access token must not contain characters outside Latin-1")
    return {"Authorization": value}


def _path_segment(identifier):
    text = f"{identifier}"
    if len(text) <= 6 and text.lower().replace("%2e", ".") in (".", ".."):
        raise ValueError("Identifier must not be '.' or '..'")
    if "/" in text or "?" in text or "#" in text:
        text = text.replace("/", "%2F").replace("?", "%3F").replace("#", "%23")
    return text


def _server_error(error, server_error):
    status = getattr(getattr(error, "response", None), "status_code", None)
    if isinstance(status, int) and status >= 500 and server_error is None:
        return error
    return server_error


def _graphql_data(response):
    data = response["data"]
    if data is None:
        raise KeyError("data")
    return data


class _EndlessListing(ValueError):
    pass


@dataclasses.dataclass
class BrimvaleFileVersion:
    _access_token: str
    _data: dict

    @property
    def urn(self) -> str:
        try:
            return self._data["id"]
        except KeyError as e:
            raise ValueError("Could not obtain URN (id)") from e

    @property
    def storage_url(self) -> Optional[str]:
        try:
            return self._data["relationships"]["storage"]["meta"]["link"]["href"]
        except KeyError:
            return None

    def get_file(self) -> File:
        try:
            storage_url = self.storage_url
            if storage_url is None:
                raise ValueError("Could not obtain storage URL")
            bucket_key = _DataManagementAPI.extract_bucket_key_from_url(storage_url)
            if bucket_key is None:
                raise ValueError("Could not extract bucket_key from storage URL")
            object_key = _DataManagementAPI.extract_object_key_from_url(storage_url)
            if object_key is None:
                raise ValueError("Could not extract object_key from storage URL")
            response = _DataManagementAPI.get_signed_s3_url(
                bucket_key=bucket_key, object_key=object_key, access_token=self._access_token)
            url = response["url"]
        except (ValueError, HTTPError, KeyError) as e:
            raise ValueError("Request to get a short-lived download URL from Brimvale Platform Services failed") from e
        return File.from_url(url)


class BrimvaleFile:
    def __init__(self, url: str):
        self._url = url
        self._latest_version = None
        self._hub = None
        self._aec_data_model_element_group = None

    @property
    def urn(self) -> str:
        item_id = _DataManagementAPI.extract_item_id_from_url(self._url)
        if not item_id:
            raise ValueError("Could not extract urn (item id) from URL")
        return item_id

    @property
    def project_id(self) -> str:
        project_id = _DataManagementAPI.extract_project_id_from_url(self._url)
        if not project_id:
            raise ValueError("Could not extract project id from URL")
        return project_id

    def get_hub_id(self, access_token: str) -> str:
        try:
            return self._get_hub(access_token)["id"]
        except (ValueError, KeyError) as e:
            raise ValueError("Could not obtain hub id") from e

    def get_region(self, access_token: str) -> str:
        try:
            return self._get_hub(access_token)["attributes"]["region"]
        except ValueError as e:
            raise ValueError("Could not obtain hub region") from e

    def get_latest_version(self, access_token: str) -> BrimvaleFileVersion:
        if self._latest_version:
            return self._latest_version
        try:
            project_id = self.project_id
            item_id = self.urn
            data = _DataManagementAPI.get_item_tip(
                project_id=project_id, item_id=item_id, access_token=access_token)["data"]
        except (ValueError, HTTPError, KeyError) as e:
            raise ValueError("Request to get latest item version from Brimvale Platform Services failed") from e
        self._latest_version = BrimvaleFileVersion(_access_token=access_token, _data=data)
        return self._latest_version

    def get_aec_data_model_element_group_id(self, access_token: str) -> str:
        if self._aec_data_model_element_group:
            return self._aec_data_model_element_group["id"]
        region = self.get_region(access_token)
        hubs, cursor, seen, pages = [], None, set(), 0
        try:
            while True:
                pages += 1
                page = _graphql_data(_AECDataModelAPI.get_hubs(region=region, access_token=access_token,
                                                               cursor=cursor))["hubs"]
                hubs.extend(page["results"])
                cursor = page["pagination"]["cursor"]
                if cursor is None or cursor == "":
                    break
                if cursor in seen or pages == 10000:
                    raise _EndlessListing("Repeated pagination cursor")
                seen.add(cursor)
        except (HTTPError, KeyError, _EndlessListing) as e:
            raise ValueError("Request to get AEC Data Model hubs from Brimvale Platform Services failed") from e
        server_error = None
        for hub in hubs:
            try:
                response = _AECDataModelAPI.get_element_groups_by_hub(
                    hub_id=hub["id"], region=region, access_token=access_token, file_urn=self.urn)
                group = _graphql_data(response)["elementGroupsByHub"]["results"][0]
                group_id = group["id"]
                self._aec_data_model_element_group = group
                return group_id
            except HTTPError as error:
                server_error = _server_error(error, server_error)
                continue
            except (KeyError, IndexError):
                continue
            except ValueError as e:
                raise ValueError(
                    "Request to get AEC Data Model element groups from Brimvale Platform Services failed") from e
        if server_error is not None:
            raise ValueError(
                "Request to get AEC Data Model element groups from Brimvale Platform Services failed") from server_error
        raise ValueError("AEC Data Model Element Group ID not found")

    def _get_hub(self, access_token: str) -> dict:
        if self._hub:
            return self._hub
        try:
            hubs = _DataManagementAPI.get_hubs(access_token=access_token)["data"]
        except (HTTPError, KeyError) as e:
            raise ValueError("Request to get hubs from Brimvale Platform Services failed") from e
        server_error = None
        for hub in hubs:
            hub_id = hub.get("id", None)
            if not hub_id:
                continue
            try:
                _DataManagementAPI.get_project(hub_id=hub_id, project_id=self.project_id, access_token=access_token)
            except HTTPError as error:
                server_error = _server_error(error, server_error)
                continue
            except ValueError as e:
                raise ValueError("Request to get project from Brimvale Platform Services failed") from e
            self._hub = hub
            return self._hub
        if server_error is not None:
            raise ValueError("Request to get project from Brimvale Platform Services failed") from server_error
        raise ValueError("No hub found")


class _DataManagementAPI:
    PROJECT_BASE_URL = f"{_BASE_URL}/project/v1"
    DATA_BASE_URL = f"{_BASE_URL}/data/v1"
    OSS_BASE_URL = f"{_BASE_URL}/oss/v2"

    @staticmethod
    def _extract_element_id_from_url(*, url: str, element_category: str) -> Optional[str]:
        match = re.search(f"/{element_category}/([^/?]+)", url)
        if match:
            return match.group(1)
        return None

    @classmethod
    def extract_project_id_from_url(cls, url: str) -> Optional[str]:
        return cls._extract_element_id_from_url(element_category="projects", url=url)

    @classmethod
    def extract_item_id_from_url(cls, url: str) -> Optional[str]:
        return cls._extract_element_id_from_url(element_category="items", url=url)

    @classmethod
    def extract_bucket_key_from_url(cls, url: str) -> Optional[str]:
        return cls._extract_element_id_from_url(element_category="buckets", url=url)

    @classmethod
    def extract_object_key_from_url(cls, url: str) -> Optional[str]:
        return cls._extract_element_id_from_url(element_category="objects", url=url)

    @classmethod
    def get_item_tip(cls, *, project_id: str, item_id: str, access_token: str) -> dict:
        session = _Context.session_with_retries
        url = f"{cls.DATA_BASE_URL}/projects/{_path_segment(project_id)}/items/{_path_segment(item_id)}/tip"
        response = session.get(url, headers=_bearer_headers(access_token), timeout=10)
        response.raise_for_status()
        return response.json()

    @classmethod
    def get_signed_s3_url(cls, *, bucket_key: str, object_key: str, access_token: str) -> dict:
        session = _Context.session_with_retries
        url = (f"{cls.OSS_BASE_URL}/buckets/{_path_segment(bucket_key)}/objects/{_path_segment(object_key)}"
               "/signeds3download")
        response = session.get(url, headers=_bearer_headers(access_token), timeout=10)
        response.raise_for_status()
        return response.json()

    @classmethod
    def get_hubs(cls, *, access_token: str) -> dict:
        session = _Context.session_with_retries
        url = f"{cls.PROJECT_BASE_URL}/hubs"
        response = session.get(url, headers=_bearer_headers(access_token), timeout=10)
        response.raise_for_status()
        return response.json()

    @classmethod
    def get_project(cls, *, hub_id: str, project_id: str, access_token: str) -> dict:
        session = _Context.session_with_retries
        url = f"{cls.PROJECT_BASE_URL}/hubs/{_path_segment(hub_id)}/projects/{_path_segment(project_id)}"
        response = session.get(url, headers=_bearer_headers(access_token), timeout=10)
        response.raise_for_status()
        return response.json()


class _AECDataModelAPI:
    GRAPHQL_URL = f"{_BASE_URL}/aec/graphql"

    @classmethod
    def _send_request(cls, query: str, region: str, access_token: str, variables: Optional[dict] = None) -> dict:
        payload = {"query": query}
        if variables:
            payload["variables"] = variables
        session = _Context.session_with_retries
        url = cls.GRAPHQL_URL
        headers = _bearer_headers(access_token)
        headers["Region"] = region
        response = session.post(url, headers=headers, json=payload, timeout=10)
        response.raise_for_status()
        return response.json()

    @classmethod
    def get_hubs(cls, *, region: str, access_token: str, limit: int = None, cursor: str = None) -> dict:
        query = dedent("""
            query GetHubs($pagination: PaginationInput) {
              hubs(pagination: $pagination) {
                results {
                  id
                }
                pagination {
                  cursor
                }
              }
            }
            """).strip()
        variables = {"pagination": cls._get_pagination_variable(limit=limit, cursor=cursor)}
        return cls._send_request(query, region, access_token, variables)

    @classmethod
    def get_element_groups_by_hub(cls, *, hub_id: str, region: str, access_token: str, file_urn: Optional[str] = None,
                                  limit: int = None, cursor: str = None) -> dict:
        if limit and cursor:
            raise ValueError("Cannot provide both limit and cursor")
        query = dedent("""
            query GetElementGroupsByHub($hubId: ID!, $filter: ElementGroupFilterInput, $pagination: PaginationInput) {
              elementGroupsByHub(hubId: $hubId, filter: $filter, pagination: $pagination) {
                results {
                  id
                }
                pagination {
                  cursor
                }
              }
            }
            """).strip()
        variables = {"hubId": hub_id, "pagination": cls._get_pagination_variable(limit=limit, cursor=cursor)}
        if file_urn:
            urn = f"{file_urn}"
            if "'" in urn:
                raise ValueError("File URN must not contain a single quote")
            variables["filter"] = {"query": f"metadata.fileUrn=='{urn}'"}
        return cls._send_request(query, region, access_token, variables)

    @staticmethod
    def _get_pagination_variable(*, limit: int = None, cursor: str = None) -> dict:
        variable = {}
        if cursor:
            variable["cursor"] = cursor
        if limit:
            variable["limit"] = limit
        return variable


class DunmereAnalysis(ExternalProgram):
    def __init__(self, input_file: Union[BytesIO, File]):
        self.input_file = input_file
        super().__init__("dunmere", version=1)

    def _generate_job_content(self) -> _JobContent:
        if isinstance(self.input_file, BytesIO):
            content = self.input_file.getvalue()
        else:
            content = self.input_file.getvalue_binary()
        return _JobContent(body=base64.b64encode(content).decode("utf-8"))

    def _handle_execution_error(self, message: str) -> None:
        return None

    def get_output_file(self, extension: str = ".sto", *, as_file: bool = False):
        return cast(dict, self._get_result_content())
