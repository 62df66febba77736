#include "host/call.hpp"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace host {

Ref class_attr(Obj cls, const Name& name) noexcept {
  if (Py_TYPE(cls.p) == &PyType_Type) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.p);
    if (name.class_seen_.still(type)) return Ref::borrow(name.class_value_);
    // `type` itself has no attribute of these names, or its own would come first.
    if (_PyType_Lookup(&PyType_Type, name) == nullptr) {
      PyObject* value = _PyType_Lookup(type, name);
      if (value != nullptr && Py_TYPE(value)->tp_descr_get == nullptr) {
        // Borrowed: the class holds it for as long as its version tag stays.
        name.class_value_ = value;
        name.class_seen_.remember(type);
        return Ref::borrow(value);
      }
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

bool no_data_descriptor(PyTypeObject* type, const Name& name) noexcept {
  if (name.plain_seen_.still(type)) return true;
  PyObject* descriptor = _PyType_Lookup(type, name);
  if (descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set != nullptr) return false;
  name.plain_seen_.remember(type);
  return true;
}

Ref instance_attr(Obj self, const Name& name) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  // From 3.11 instances keep their attributes outside a dict until one is asked for.
  PyTypeObject* type = Py_TYPE(self.p);
  if (type->tp_getattro == PyObject_GenericGetAttr && no_data_descriptor(type, name)) {
    PyObject** dictptr = _PyObject_GetDictPtr(self.p);
    if (dictptr != nullptr && *dictptr != nullptr) {
      PyObject* value = PyDict_GetItemWithError(*dictptr, name);
      if (value != nullptr) return Ref::borrow(value);
      if (PyErr_Occurred()) return failure(self.loc);
    }
  }
#endif
  return getattr(self, name);
}

#if PY_VERSION_HEX < 0x030B0000
namespace {

// The dicts {name: None, ...} of the attribute lists that constructors set, in order, made
// on first use and kept.
struct Layout {
  std::array<const Name*, 8> names;
  std::size_t count;
  PyObject* dict;
};
std::array<Layout, 8> layouts;
std::size_t layout_count = 0;

// The kept dict for these names, or NULL (with no exception) for a list not kept.
PyObject* fresh_layout(std::initializer_list<Assignment> items) noexcept {
  const std::size_t count = items.size();
  for (std::size_t i = 0; i < layout_count; ++i) {
    const Layout& layout = layouts[i];
    if (layout.count != count) continue;
    std::size_t k = 0;
    for (const Assignment& item : items) {
      if (layout.names[k] != &item.name) break;
      ++k;
    }
    if (k == count) return layout.dict;
  }
  if (layout_count == layouts.size() || count > layouts[0].names.size()) return nullptr;
  Layout& layout = layouts[layout_count];
  layout.count = 0;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) {
    PyErr_Clear();
    return nullptr;
  }
  for (const Assignment& item : items) {
    if (PyDict_SetItem(dict, item.name, Py_None) < 0) {
      PyErr_Clear();
      return nullptr;
    }
    layout.names[layout.count++] = &item.name;
  }
  if (PyDict_Size(dict) != static_cast<Py_ssize_t>(count)) return nullptr;  // a name listed twice
  layout.dict = dict.release();
  ++layout_count;
  return layout.dict;
}

}  // namespace
#endif

bool set_instance_attrs(Obj self, std::initializer_list<Assignment> items) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  PyTypeObject* type = Py_TYPE(self.p);
  PyObject** dictptr = type->tp_setattro == PyObject_GenericSetAttr ? _PyObject_GetDictPtr(self.p) : nullptr;
  bool direct = dictptr != nullptr;
  for (const Assignment& item : items) direct = direct && no_data_descriptor(type, item.name);
  if (direct) {
    PyObject* layout = nullptr;  // what a fresh dict was copied from: its values are None
    if (*dictptr == nullptr) {
      // A fresh instance: a plain dict (cheaper than the type's shared-key table, which
      // suits attributes added one statement at a time), copied from one that has the
      // names in order, all None, so that only the other values are stored one by one.
      layout = fresh_layout(items);
      *dictptr = layout != nullptr ? PyDict_Copy(layout) : _PyDict_NewPresized(static_cast<Py_ssize_t>(items.size()));
      if (*dictptr == nullptr) return static_cast<bool>(failure(self.loc));
    }
    Ref dict = Ref::borrow(*dictptr);
    for (const Assignment& item : items) {
      if (layout != nullptr && item.value == Py_None) continue;
      if (!status(PyDict_SetItem(dict, item.name, item.value), self.loc)) return false;
    }
    return true;
  }
#endif
  for (const Assignment& item : items)
    if (!setattr(self, item.name, item.value)) return false;
  return true;
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
