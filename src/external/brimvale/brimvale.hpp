// Pieces of zelmar.external.brimvale shared between its files.
#pragma once

#include <string_view>

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
};
extern Constants constants;

// The four classes, built in this order by the module body; empty on failure.
host::Ref make_file_version_class() noexcept;
host::Ref make_file_class() noexcept;
host::Ref make_data_management_class() noexcept;
host::Ref make_aec_data_model_class() noexcept;

// ---- text (text.cpp) ----

// format(x, ""): the text an f-string inserts for {x}; a str comes back unchanged.
[[nodiscard]] inline host::Ref format_text(host::Borrowed x) noexcept {
  if (PyUnicode_CheckExact(x.get())) return host::Ref::borrow(x.get());
  return host::result(PyObject_Format(x.get(), nullptr), x.loc());
}

// The concatenation of str parts, as an f-string builds it.
[[nodiscard]] host::Ref join(PyObject* const* parts, std::size_t count, host::Loc loc = host::Loc::current()) noexcept;
[[nodiscard]] inline host::Ref join(std::initializer_list<PyObject*> parts, host::Loc loc = host::Loc::current()) noexcept {
  return join(parts.begin(), parts.size(), loc);
}

// Whether the str holds any of the ASCII characters of `chars` (NUL too, if it is one).
bool has_any(PyObject* text, std::string_view chars) noexcept;

// ---- requests (requests.cpp) ----

// The module's HTTPError as an except clause meets it: looked up now that an exception reaches
// the clause, and refused as the interpreter refuses a class that cannot stand there. Empty
// with NameError or TypeError pending (the caught exception its context).
using Clause = host::Caught::Clause;
host::Ref except_http_error(const host::Caught& e, Clause clause, host::Loc loc = host::Loc::current()) noexcept;

// {"Authorization": "Bearer " + access_token}
host::Ref bearer_headers(PyObject* access_token, host::Loc loc = host::Loc::current()) noexcept;

// _Context.session_with_retries, read afresh for every request.
host::Ref session(host::Loc loc = host::Loc::current()) noexcept;

// response.raise_for_status(), then response.json().
host::Ref checked_json(const host::Ref& response, host::Loc loc = host::Loc::current()) noexcept;

}  // namespace brimvale
