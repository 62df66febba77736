// Identifiers, keys, texts and keyword lists of zelmar.external.brimvale, interned once
// when the module executes.
#pragma once

#include "host/names.hpp"

namespace brimvale::n {

using host::Name;
using host::Names;

// Module globals and what they are imported from.
inline const Name dataclasses{"dataclasses"};
inline const Name re{"re"};
inline const Name textwrap{"textwrap"};
inline const Name dedent{"dedent"};
inline const Name requests_exceptions{"zelmar._vendor.requests.exceptions"};
inline const Name HTTPError{"HTTPError"};
inline const Name typing{"typing"};
inline const Name core{"core"};
inline const Name _Context{"_Context"};
inline const Name File{"File"};
inline const Name _BASE_URL{"_BASE_URL"};
inline const Name BrimvaleFileVersion{"BrimvaleFileVersion"};
inline const Name BrimvaleFile{"BrimvaleFile"};
inline const Name _DataManagementAPI{"_DataManagementAPI"};
inline const Name _AECDataModelAPI{"_AECDataModelAPI"};
inline const Name __test__{"__test__"};
inline const Name __annotations__{"__annotations__"};
inline const Name dataclass{"dataclass"};
inline const Name field{"field"};

// Attributes and methods.
inline const Name _url{"_url"};
inline const Name _latest_version{"_latest_version"};
inline const Name _hub{"_hub"};
inline const Name _aec_data_model_element_group{"_aec_data_model_element_group"};
inline const Name _access_token{"_access_token"};
inline const Name _data{"_data"};
inline const Name urn{"urn"};
inline const Name project_id{"project_id"};
inline const Name storage_url{"storage_url"};
inline const Name get_region{"get_region"};
inline const Name _get_hub{"_get_hub"};
inline const Name PROJECT_BASE_URL{"PROJECT_BASE_URL"};
inline const Name DATA_BASE_URL{"DATA_BASE_URL"};
inline const Name OSS_BASE_URL{"OSS_BASE_URL"};
inline const Name GRAPHQL_URL{"GRAPHQL_URL"};
inline const Name get_hubs{"get_hubs"};
inline const Name get_project{"get_project"};
inline const Name get_item_tip{"get_item_tip"};
inline const Name get_signed_s3_url{"get_signed_s3_url"};
inline const Name get_element_groups_by_hub{"get_element_groups_by_hub"};
inline const Name _get_pagination_variable{"_get_pagination_variable"};
inline const Name _send_request{"_send_request"};
inline const Name _extract_element_id_from_url{"_extract_element_id_from_url"};
inline const Name extract_project_id_from_url{"extract_project_id_from_url"};
inline const Name extract_item_id_from_url{"extract_item_id_from_url"};
inline const Name extract_bucket_key_from_url{"extract_bucket_key_from_url"};
inline const Name extract_object_key_from_url{"extract_object_key_from_url"};
inline const Name session_with_retries{"session_with_retries"};
inline const Name get{"get"};
inline const Name post{"post"};
inline const Name raise_for_status{"raise_for_status"};
inline const Name json{"json"};
inline const Name search{"search"};
inline const Name group{"group"};
inline const Name strip{"strip"};
inline const Name from_url{"from_url"};
inline const Name response{"response"};
inline const Name status_code{"status_code"};
inline const Name add_note{"add_note"};

// Keys of requests and answers.
inline const Name id{"id"};
inline const Name data{"data"};
inline const Name attributes{"attributes"};
inline const Name region{"region"};
inline const Name relationships{"relationships"};
inline const Name storage{"storage"};
inline const Name meta{"meta"};
inline const Name link{"link"};
inline const Name href{"href"};
inline const Name url{"url"};
inline const Name hubs{"hubs"};
inline const Name results{"results"};
inline const Name pagination{"pagination"};
inline const Name cursor{"cursor"};
inline const Name limit{"limit"};
inline const Name elementGroupsByHub{"elementGroupsByHub"};
inline const Name Authorization{"Authorization"};
inline const Name Region{"Region"};
inline const Name query{"query"};
inline const Name variables{"variables"};
inline const Name hubId{"hubId"};
inline const Name filter{"filter"};
inline const Name errors{"errors"};
inline const Name message{"message"};

// Texts.
inline const Name bearer{"Bearer "};
inline const Name slash{"/"};
inline const Name id_pattern_tail{"/([^/?]+)"};
inline const Name projects_category{"projects"};
inline const Name items_category{"items"};
inline const Name buckets_category{"buckets"};
inline const Name objects_category{"objects"};
inline const Name projects_path{"/projects/"};
inline const Name items_path{"/items/"};
inline const Name tip_path{"/tip"};
inline const Name buckets_path{"/buckets/"};
inline const Name objects_path{"/objects/"};
inline const Name signed_download_path{"/signeds3download"};
inline const Name hubs_path{"/hubs"};
inline const Name hubs_slash_path{"/hubs/"};
inline const Name file_urn_filter_head{"metadata.fileUrn=='"};
inline const Name quote{"'"};

// Keyword lists of calls, in the order they are passed.
inline const Names kw_access_token{"access_token"};
inline const Names kw_get_project{"hub_id", "project_id", "access_token"};
inline const Names kw_get_item_tip{"project_id", "item_id", "access_token"};
inline const Names kw_signed_s3_url{"bucket_key", "object_key", "access_token"};
inline const Names kw_file_version{"_access_token", "_data"};
inline const Names kw_extract{"element_category", "url"};
inline const Names kw_get{"headers", "timeout"};
inline const Names kw_post{"headers", "json", "timeout"};
inline const Names kw_pagination{"limit", "cursor"};
inline const Names kw_aec_hubs{"region", "access_token", "cursor"};
inline const Names kw_element_groups{"hub_id", "region", "access_token", "file_urn"};
inline const Names kw_repr{"repr"};

// From-lists of the module's imports.
inline const Names from_textwrap{"dedent"};
inline const Names from_requests_exceptions{"HTTPError"};
inline const Names from_typing{"Optional"};
inline const Names from_core{"_Context", "File"};

}  // namespace brimvale::n
