// brimvale's request helpers: the session, the bearer header, the answer, the except clause.
#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

namespace {

// A line break would end the header and the session would refuse it with a message that
// quotes the whole header, token included; a NUL cuts it short.
constexpr std::string_view line_breaks_and_nul{"\r\n\0", 3};

// a + b with Python's rules (so a non-str operand raises the interpreter's TypeError).
Ref add(Borrowed a, Borrowed b) noexcept {
  // Two exact strs: the concatenation itself, without the operator dispatch (a str
  // subclass may define __radd__, so anything else goes through the operator).
  if (PyUnicode_CheckExact(a.get()) && PyUnicode_CheckExact(b.get())) {
    PyObject* parts[] = {a.get(), b.get()};
    return join(parts, 2, a.loc());
  }
  return result(PyNumber_Add(a.get(), b), a.loc());
}

}  // namespace

Ref bearer_headers(PyObject* access_token, Loc loc) noexcept {
  Ref value = add(Borrowed(n::bearer, loc), access_token);
  if (!value) return {};
  // For a str token the header is "Bearer " and the token's own characters: only they
  // need reading. Anything else made a value of its own (a str subclass's __radd__).
  PyObject* added = PyUnicode_CheckExact(access_token) ? access_token : value.get();
  if (PyUnicode_Check(added) && has_any(added, line_breaks_and_nul))
    return raise(PyExc_ValueError, "Access token must not contain line breaks or NUL characters", loc);
  // Header values go out in Latin-1: the session's encoding error would quote the whole header.
  // A str holds a character past it exactly when its kind is wider than one byte.
  if (PyUnicode_Check(added) && PyUnicode_KIND(added) != PyUnicode_1BYTE_KIND)
    return raise(PyExc_ValueError, "Access token must not contain characters outside Latin-1", loc);
  return dict_of(loc, n::Authorization, value);
}

Ref except_http_error(const Caught& e, Clause clause, Loc loc) noexcept {
  Ref http_error = global(n::HTTPError, loc);
  if (!http_error || !e.catchable(http_error, clause, loc)) return {};
  return http_error;
}

Ref session(Loc loc) noexcept {
  Ref context = global(n::_Context, loc);
  if (!context) return {};
  return getattr(Borrowed(context, loc), n::session_with_retries);
}

Ref checked_json(const Ref& response, Loc loc) noexcept {
  if (!response) return {};
  if (!call_method(Borrowed(response, loc), n::raise_for_status)) return {};
  return call_method(Borrowed(response, loc), n::json);
}

}  // namespace brimvale
