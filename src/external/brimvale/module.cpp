// zelmar.external.brimvale: files on Brimvale cloud storage.
#include <cstdint>
#include <cstring>

#include "external/brimvale/brimvale.hpp"
#include "host/module.hpp"

namespace brimvale {

using namespace host;

Constants constants;

namespace {

// The platform's API host; the request paths are appended to it.
const Name base_url{"https://api.brimvale.example"};

bool load() noexcept {
  constants.zero = PyLong_FromLong(0);
  constants.one = PyLong_FromLong(1);
  constants.ten = PyLong_FromLong(10);
  constants.five_hundred = PyLong_FromLong(500);
  constants.empty = PyUnicode_New(0, 0);
  if (!constants.zero || !constants.one || !constants.ten || !constants.five_hundred || !constants.empty)
    return static_cast<bool>(failure());
  return true;
}

bool body() noexcept {
  return bind(n::dataclasses, import_module(n::dataclasses)) && bind(n::re, import_module(n::re)) &&
         import_from(n::textwrap, n::from_textwrap) && import_from(n::requests_exceptions, n::from_requests_exceptions) && import_from(n::typing, n::from_typing) &&
         import_from(n::core, n::from_core, 2) && bind(n::_BASE_URL, base_url) &&
         bind(n::BrimvaleFileVersion, make_file_version_class()) && bind(n::BrimvaleFile, make_file_class()) &&
         bind(n::_DataManagementAPI, make_data_management_class()) &&
         bind(n::_AECDataModelAPI, make_aec_data_model_class()) && bind(n::__test__, new_dict());
}

// A line break would end the header and the session would refuse it with a message that
// quotes the whole header, token included; a NUL cuts it short.
constexpr std::string_view line_breaks_and_nul{"\r\n\0", 3};

// a + b with Python's rules (so a non-str operand raises the interpreter's TypeError).
Ref add(Obj a, Borrowed b) noexcept {
  // Two exact strs: the concatenation itself, without the operator dispatch (a str
  // subclass may define __radd__, so anything else goes through the operator).
  if (PyUnicode_CheckExact(a.p) && PyUnicode_CheckExact(b.get())) {
    PyObject* parts[] = {a.p, b.get()};
    return join(parts, 2, a.loc);
  }
  return result(PyNumber_Add(a.p, b), a.loc);
}

}  // namespace

Ref join(PyObject* const* parts, std::size_t count, Loc loc) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* part = parts[i];
    if (!PyUnicode_Check(part)) {
      format_error(PyExc_TypeError, "sequence item: expected str instance, %.80s found", Py_TYPE(part)->tp_name);
      return failure(loc);
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(part) < 0) return failure(loc);
#endif
    length += PyUnicode_GET_LENGTH(part);
    const Py_UCS4 part_max = PyUnicode_IS_ASCII(part) ? 127 : PyUnicode_MAX_CHAR_VALUE(part);
    if (part_max > max_char) max_char = part_max;
  }
  Ref joined = result(PyUnicode_New(length, max_char), loc);
  if (!joined) return {};
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
    if (max_char < 128) {
      // Every part ASCII (URLs, paths, headers): plain copies.
      std::memcpy(PyUnicode_1BYTE_DATA(joined.get()) + at, PyUnicode_DATA(parts[i]), static_cast<std::size_t>(n));
    } else if (PyUnicode_CopyCharacters(joined, at, parts[i], 0, n) < 0) {
      return failure(loc);
    }
    at += n;
  }
  return joined;
}

bool has_any(PyObject* text, std::string_view chars) noexcept {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  if (kind == PyUnicode_1BYTE_KIND && length >= 32) {  // long text: the C library's search per character
    for (const char c : chars)
      if (std::memchr(data, c, static_cast<std::size_t>(length)) != nullptr) return true;
    return false;
  }
  std::uint64_t wanted[2] = {0, 0};  // one bit per ASCII character
  for (const char c : chars) wanted[static_cast<unsigned char>(c) >> 6] |= std::uint64_t{1} << (c & 63);
  const auto is_wanted = [&](Py_UCS4 c) { return c < 128 && ((wanted[c >> 6] >> (c & 63)) & 1) != 0; };
  if (kind == PyUnicode_1BYTE_KIND) {
    for (Py_ssize_t i = 0; i < length; ++i)
      if (is_wanted(static_cast<const Py_UCS1*>(data)[i])) return true;
    return false;
  }
  for (Py_ssize_t i = 0; i < length; ++i)
    if (is_wanted(PyUnicode_READ(kind, data, i))) return true;
  return false;
}

Ref bearer_headers(PyObject* access_token, Loc loc) noexcept {
  Ref value = add(Obj(n::bearer, loc), access_token);
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
  return getattr(Obj(context, loc), n::session_with_retries);
}

Ref checked_json(const Ref& response, Loc loc) noexcept {
  if (!response) return {};
  if (!call_method(Obj(response, loc), n::raise_for_status)) return {};
  return call_method(Obj(response, loc), n::json);
}

}  // namespace brimvale

const host::ModuleInfo host::this_module = {
    "brimvale",
    "zelmar.external.brimvale",
    brimvale::load,
    brimvale::body,
};

PyMODINIT_FUNC PyInit_brimvale() { return PyModuleDef_Init(host::module_definition()); }
