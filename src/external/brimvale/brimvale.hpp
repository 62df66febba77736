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
  PyObject* five_hundred = nullptr;  // the first status of a server error
  PyObject* empty = nullptr;         // ""
  // The standard library's objects as the module imported them: while the module globals
  // (and re's search) are still these, unchanged, the module does their work natively.
  PyObject* std_re = nullptr;
  PyObject* std_re_dict = nullptr;  // re's module dict, which is re's for the module's life
  host::LibraryFunction std_search;
  host::LibraryFunction std_dedent;
  // BrimvaleFileVersion as the module defined it, with the __init__ the dataclass decorator
  // generated, for making versions without the call machinery.
  PyObject* version_class = nullptr;
  host::LibraryFunction version_init;
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

// The four classes, built in this order by the module body; empty on failure.
host::Ref make_file_version_class() noexcept;
host::Ref make_file_class() noexcept;
host::Ref make_data_management_class() noexcept;
host::Ref make_aec_data_model_class() noexcept;

// api.<extractor>(url) for an extractor that resolves to the module's own (the one for
// `category`): while the static method it forwards to is the module's own too, the search
// runs directly, and a failure still shows both functions' traceback entries.
host::Ref extract_directly(PyObject* api, const host::Member& extractor, PyObject* category, PyObject* url,
                           host::Loc loc = host::Loc::current()) noexcept;

// One key taken out of a URL (a download's bucket or object key, a handle's project id or
// URN): a str (the extractor's or property's answer, or a key a request must escape or
// refuse), or the span [start, end) of the URL, an ASCII str, that goes into a request as it is.
struct Key {
  Key() noexcept = default;
  explicit Key(host::Ref whole) noexcept : text(std::move(whole)) {}
  host::Ref text;
  Py_ssize_t start = 0, end = -1;  // end < 0: the whole of text
  host::Piece piece() const noexcept { return end < 0 ? host::Piece{text.get()} : host::Piece{text.get(), start, end}; }
  // The key as a str of its own (the whole text, or a copy of the span).
  host::Ref str(host::Loc loc = host::Loc::current()) const noexcept {
    return end < 0 ? text.copy() : host::result(PyUnicode_Substring(text, start, end), loc);
  }
};

// The key that api.<extractor>(url) gives for `category` (`api` being _DataManagementAPI as
// just looked up), in place while every member and library function on the way is the
// module's own, else through the extractor: 1 when found, 0 when it gives None, -1 on failure.
int key_from_url(PyObject* api, PyObject* url, const host::Member& extractor, const host::Name& name,
                 const host::Name& category, Key& key, host::Loc loc = host::Loc::current()) noexcept;

// One of the module's requests whose path holds keys: the member, its name, its keywords
// (the keys', then "access_token") and the class attribute of its base URL.
struct Request {
  const host::Member& member;
  const host::Name& name;
  PyObject* keywords;  // a tuple of the keyword names
  const host::Name& base;
};

// api.<request>(<key keywords>=..., access_token=token), in the long way's two steps: the
// callee first, then, once the arguments have been read, the call. While the member is the
// module's own, the call is its body with the keys in place in `path` (fixed texts and the
// keys' pieces, alternating) and, on failure, the member's traceback entry; otherwise the
// member as looked up is called with the keys as strs.
struct Callee {
  explicit Callee(const Request& r) noexcept : request(r) {}
  const Request& request;
  bool direct = false;
  host::Ref method;
  [[nodiscard]] bool look_up(PyObject* api, host::Loc loc = host::Loc::current()) noexcept;
  [[nodiscard]] host::Ref call(PyObject* api, std::initializer_list<host::Piece> path,
                               std::initializer_list<const Key*> keys, PyObject* token,
                               host::Loc loc = host::Loc::current()) const noexcept;
};

// BrimvaleFileVersion(_access_token=token, _data=data)
host::Ref new_version(PyObject* token, PyObject* data) noexcept;

// {"Authorization": "Bearer " + access_token}
host::Ref bearer_headers(PyObject* access_token, host::Loc loc = host::Loc::current()) noexcept;

// _Context.session_with_retries, read afresh for every request.
host::Ref session(host::Loc loc = host::Loc::current()) noexcept;

// response.raise_for_status(), then response.json().
host::Ref checked_json(const host::Ref& response, host::Loc loc = host::Loc::current()) noexcept;

}  // namespace brimvale
