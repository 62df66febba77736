#include "host/call.hpp"

#include <cstring>

namespace host {

Ref join(PyObject* const* parts, std::size_t count, Loc loc) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* part = parts[i];
    if (!PyUnicode_Check(part)) {
      PyErr_Format(PyExc_TypeError, "sequence item: expected str instance, %.80s found", Py_TYPE(part)->tp_name);
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

}  // namespace host
