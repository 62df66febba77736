// Pieces of zelmar.external.brimvale shared between its files.
#pragma once

#include "external/brimvale/names.hpp"
#include "host/call.hpp"
#include "host/classes.hpp"
#include "host/function.hpp"
#include "host/globals.hpp"

namespace brimvale {

// Made when the module loads.
struct Constants {
  PyObject* zero = nullptr;
  PyObject* one = nullptr;
  PyObject* ten = nullptr;  // the time-out of every request, in seconds
  // The standard library's objects as the module imported them: while the module globals
  // (and re's search) are still these, the module does their work natively.
  PyObject* std_re = nullptr;
  PyObject* std_search = nullptr;
  PyObject* std_dedent = nullptr;
  // BrimvaleFileVersion as the module defined it, with the __init__ the dataclass decorator
  // generated (and its code), for making versions without the call machinery.
  PyObject* version_class = nullptr;
  PyObject* version_init = nullptr;
  PyObject* version_init_code = nullptr;
};
extern Constants constants;

// The class members that calls inside the module go to directly while cls.<name> is still
// the member defined here (host::Member).
struct Members {
  host::Member extract_element_id, extract_project_id, extract_item_id, extract_bucket_key, extract_object_key;
  host::Member get_item_tip, get_signed_s3_url, get_hubs, get_project;
  host::Member send_request, aec_get_hubs, get_element_groups_by_hub, get_pagination_variable;
  host::Member file_urn, file_project_id;  // BrimvaleFile's properties
  host::Member version_storage_url;        // BrimvaleFileVersion's
};
extern Members members;

// The four classes, built in this order by the module body.
host::Ref make_file_version_class();
host::Ref make_file_class();
host::Ref make_data_management_class();
host::Ref make_aec_data_model_class();

// api.<extractor>(url) for an extractor that resolves to the module's own (the one for
// `category`): while the static method it forwards to is the module's own too, the search
// runs directly, and a failure still shows both functions' traceback entries.
host::Ref extract_directly(PyObject* api, const host::Member& extractor, PyObject* category, PyObject* url,
                           host::Loc loc = host::Loc::current()) noexcept;

// Where the bucket and object keys are in a storage URL.
struct KeySpans {
  Py_ssize_t bucket_start = 0, bucket_end = 0, object_start = 0, object_end = 0;
};

// Whether get_file's keys can be taken from the storage URL in place (see
// data_management.cpp); then `api` is _DataManagementAPI.
bool keys_in_place(PyObject* url, KeySpans& keys, host::Ref& api) noexcept;

// _DataManagementAPI.get_signed_s3_url(bucket_key=..., object_key=..., access_token=token)
// for keys in place, as if called at `loc`: the same request, and on failure the same
// traceback entry.
host::Ref signed_s3_url_in_place(PyObject* api, PyObject* url, const KeySpans& keys, PyObject* token,
                                 host::Loc loc = host::Loc::current()) noexcept;

// BrimvaleFileVersion(_access_token=token, _data=data)
host::Ref new_version(PyObject* token, PyObject* data) noexcept;

// {"Authorization": "Bearer " + access_token}
host::Ref bearer_headers(PyObject* access_token, host::Loc loc = host::Loc::current()) noexcept;

// _Context.session_with_retries, read afresh for every request.
host::Ref session(host::Loc loc = host::Loc::current()) noexcept;

// response.raise_for_status(), then response.json().
host::Ref checked_json(const host::Ref& response, host::Loc loc = host::Loc::current()) noexcept;

}  // namespace brimvale
