// Pieces of zelmar.external.brimvale shared between its files.
#pragma once

#include <initializer_list>

#include "external/brimvale/names.hpp"
#include "host/call.hpp"
#include "host/classes.hpp"
#include "host/globals.hpp"

namespace brimvale {

// Constants made when the module loads.
struct Constants {
  PyObject* zero = nullptr;
  PyObject* one = nullptr;
  PyObject* ten = nullptr;  // the time-out of every request, in seconds
};
extern Constants constants;

// The four classes, built in this order by the module body.
host::Ref make_file_version_class();
host::Ref make_file_class();
host::Ref make_data_management_class();
host::Ref make_aec_data_model_class();

// {"Authorization": "Bearer " + access_token}
host::Ref bearer_headers(PyObject* access_token, host::Loc loc = host::Loc::current());

// _Context.session_with_retries, read afresh for every request.
host::Ref session(host::Loc loc = host::Loc::current());

// response.raise_for_status(), then response.json().
host::Ref checked_json(const host::Ref& response, host::Loc loc = host::Loc::current());

}  // namespace brimvale
