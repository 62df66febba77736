#include "host/call.hpp"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace host {

Ref class_attr(Obj cls, const Name& name) noexcept {
  if (Py_TYPE(cls.p) == &PyType_Type) {
    if (name.on_type_ < 0) name.on_type_ = _PyType_Lookup(&PyType_Type, name) != nullptr;
    if (name.on_type_ == 0) {
      PyObject* value = type_lookup(reinterpret_cast<PyTypeObject*>(cls.p), name, name.class_);
      if (value != nullptr && Py_TYPE(value)->tp_descr_get == nullptr) return Ref::borrow(value);
    }
  }
  return getattr(cls, name);
}

PyObject* module_entry(PyObject* module, const Name& name) noexcept {
  if (Py_TYPE(module) != &PyModule_Type) return nullptr;
  return kept_entry(PyModule_GetDict(module), name, name.attr_);
}

Ref module_attr(Obj module, const Name& name) noexcept {
  PyObject* value = module_entry(module.p, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return failure(module.loc);
  return getattr(module, name.get());  // not in a plain module's dict, or not a plain module
}

Ref attribute_or_none(Obj o, Borrowed name) noexcept {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int found = PyObject_GetOptionalAttr(o.p, name, &value);
#else
  const int found = _PyObject_LookupAttr(o.p, name, &value);
#endif
  if (found < 0) return failure(o.loc);
  return found > 0 ? Ref::steal(value) : none();
}

Ref add(Obj a, Borrowed b) noexcept {
  // Two exact strs: the concatenation itself, without the operator dispatch (a str
  // subclass may define __radd__, so anything else goes through the operator).
  if (PyUnicode_CheckExact(a.p) && PyUnicode_CheckExact(b.get())) {
    PyObject* parts[] = {a.p, b.get()};
    return join(parts, 2, a.loc);
  }
  return result(PyNumber_Add(a.p, b), a.loc);
}

namespace {

// The texts to join, as whole strs or as pieces of them.
struct WholeTexts {
  PyObject* const* parts;
  PyObject* text(std::size_t i) const noexcept { return parts[i]; }
  Py_ssize_t start(std::size_t) const noexcept { return 0; }
  Py_ssize_t length(std::size_t i) const noexcept { return PyUnicode_GET_LENGTH(parts[i]); }
};

struct PieceTexts {
  const Piece* pieces;
  PyObject* text(std::size_t i) const noexcept { return pieces[i].text; }
  Py_ssize_t start(std::size_t i) const noexcept { return pieces[i].start; }
  Py_ssize_t length(std::size_t i) const noexcept { return pieces[i].length(); }
};

template <class Texts>
Ref join_texts(const Texts& texts, std::size_t count, Loc loc) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* part = texts.text(i);
    if (!PyUnicode_Check(part)) {
      PyErr_Format(PyExc_TypeError, "sequence item: expected str instance, %.80s found", Py_TYPE(part)->tp_name);
      return failure(loc);
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(part) < 0) return failure(loc);
#endif
    length += texts.length(i);
    const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
    if (part_max > max_char) max_char = part_max;
  }
  Ref joined = result(PyUnicode_New(length, max_char), loc);
  if (!joined) return {};
  if (PyUnicode_KIND(joined.get()) == PyUnicode_1BYTE_KIND) {
    // Every part is one byte per character too: plain copies (URLs, paths, headers).
    Py_UCS1* out = PyUnicode_1BYTE_DATA(joined.get());
    for (std::size_t i = 0; i < count; ++i) {
      const Py_ssize_t n = texts.length(i);
      copy_bytes(out, PyUnicode_1BYTE_DATA(texts.text(i)) + texts.start(i), static_cast<std::size_t>(n));
      out += n;
    }
    return joined;
  }
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Py_ssize_t n = texts.length(i);
    if (PyUnicode_CopyCharacters(joined, at, texts.text(i), texts.start(i), n) < 0) return failure(loc);
    at += n;
  }
  return joined;
}

}  // namespace

Ref join(PyObject* const* parts, std::size_t count, Loc loc) noexcept {
  return join_texts(WholeTexts{parts}, count, loc);
}

Ref join(const Piece* pieces, std::size_t count, Loc loc) noexcept {
  return join_texts(PieceTexts{pieces}, count, loc);
}

bool has_any(PyObject* text, const CharSet& set) noexcept {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* chars = static_cast<const Py_UCS1*>(data);
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    if (const int count = set.small_count(); count > 0 && length >= 32) {
      // Sixteen characters at a time against each character of the set.
      __m128i wanted[4];
      for (int k = 0; k < count; ++k) wanted[k] = _mm_set1_epi8(static_cast<char>(set.listed(k)));
      for (; i + 16 <= length; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i));
        __m128i found = _mm_cmpeq_epi8(block, wanted[0]);
        for (int k = 1; k < count; ++k) found = _mm_or_si128(found, _mm_cmpeq_epi8(block, wanted[k]));
        if (_mm_movemask_epi8(found) != 0) return true;
      }
    }
#endif
    for (; i < length; ++i)
      if (set.contains_byte(chars[i])) return true;
    return false;
  }
  for (Py_ssize_t i = 0; i < length; ++i)
    if (set.contains(PyUnicode_READ(kind, data, i))) return true;
  return false;
}

Ref raise_unpack_error(Py_ssize_t found, std::size_t expected, Loc loc) noexcept {
  if (found > static_cast<Py_ssize_t>(expected))
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(expected));
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
  return failure(loc);
}

}  // namespace host
