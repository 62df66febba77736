// brimvale's text helpers: f-string joins and character checks.
#include <cstdint>
#include <cstring>

#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

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

}  // namespace brimvale
