#include "host/call.hpp"

#include <cstring>

namespace host {

Ref format_text(Obj x) {
  // The f-string shortcut: an exact str is its own text.
  if (PyUnicode_CheckExact(x.p)) return Ref::borrow(x.p);
  return check(PyObject_Format(x.p, nullptr), x.loc);
}

Ref join(PyObject* const* parts, std::size_t count, Loc loc) {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* part = parts[i];
    if (!PyUnicode_Check(part)) {
      PyErr_Format(PyExc_TypeError, "sequence item: expected str instance, %.80s found",
                   Py_TYPE(part)->tp_name);
      fail(loc);
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(part) < 0) fail(loc);
#endif
    length += PyUnicode_GET_LENGTH(part);
    Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
    if (part_max > max_char) max_char = part_max;
  }
  Ref result = check(PyUnicode_New(length, max_char), loc);
  if (PyUnicode_KIND(result.get()) == PyUnicode_1BYTE_KIND) {
    // Every part is one byte per character too: plain copies (URLs, paths, queries).
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    for (std::size_t i = 0; i < count; ++i) {
      const Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
      std::memcpy(out, PyUnicode_1BYTE_DATA(parts[i]), static_cast<std::size_t>(n));
      out += n;
    }
    return result;
  }
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* part = parts[i];
    Py_ssize_t n = PyUnicode_GET_LENGTH(part);
    if (PyUnicode_CopyCharacters(result, at, part, 0, n) < 0) fail(loc);
    at += n;
  }
  return result;
}

void raise_unpack_error(Py_ssize_t found, std::size_t expected, Loc loc) {
  if (found > static_cast<Py_ssize_t>(expected))
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(expected));
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
  fail(loc);
}

Ref new_dict(Loc loc) { return check(PyDict_New(), loc); }

}  // namespace host
