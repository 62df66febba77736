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

Ref module_attr(Obj module, const Name& name) noexcept {
  PyObject* value = module_entry(module.p, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return failure(module.loc);
  return getattr(module, name.get());  // not in a plain module's dict, or not a plain module
}

#if PY_VERSION_HEX < 0x030B0000
namespace {

// The dict a list of assignments made on a fresh instance of a type, values set to None.
struct Template {
  // Compared, never followed: a template is used only while its keys, which it holds, are
  // the type's shared keys, and no other type can share those.
  PyTypeObject* type;
  std::array<const Name*, 4> names;
  std::size_t count;
  PyObject* dict;  // held for the life of the process
};
std::array<Template, 4> templates;
std::size_t template_count = 0;

PyObject** fresh_dict_slot(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset <= 0 ||
      (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0)
    return nullptr;
  auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + type->tp_dictoffset);
  return *slot == nullptr ? slot : nullptr;
}

bool same_names(const Template& t, std::initializer_list<Assignment> items) noexcept {
  if (t.count != items.size()) return false;
  std::size_t i = 0;
  for (const Assignment& item : items)
    if (t.names[i++] != &item.name) return false;
  return true;
}

// Whether the generic setattr would store every name in the instance dict: no data
// descriptor comes first (the descriptor's type is read now, it may have gained __set__).
bool all_plain(PyTypeObject* type, std::initializer_list<Assignment> items) noexcept {
  for (const Assignment& item : items) {
    PyObject* descriptor = _PyType_Lookup(type, item.name);
    if (descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set != nullptr) return false;
  }
  return true;
}

// After the assignments on a fresh instance: its dict, as a template for the next ones, when
// it is the split dict over the type's shared keys that holds just these names.
void keep_template(PyTypeObject* type, const Ref& held, std::initializer_list<Assignment> items) noexcept {
  auto* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
  auto* dict = reinterpret_cast<PyDictObject*>(held.get());
  if (template_count == templates.size() || items.size() > templates[0].names.size() || !PyDict_CheckExact(held) ||
      dict->ma_values == nullptr || dict->ma_keys != keys || dict->ma_used != static_cast<Py_ssize_t>(items.size()))
    return;
  Ref copy = Ref::steal(PyDict_Copy(held));
  if (!copy) {
    PyErr_Clear();
    return;
  }
  Template t{type, {}, 0, nullptr};
  for (const Assignment& item : items) {
    if (PyDict_SetItem(copy, item.name, Py_None) < 0) {
      PyErr_Clear();
      return;
    }
    t.names[t.count++] = &item.name;
  }
  if (reinterpret_cast<PyDictObject*>(copy.get())->ma_keys != keys) return;
  // Nothing but None and str keys: untracked by the collector, as the dict the assignments
  // start from is, so that copies are tracked exactly when a value stored in them needs it.
  if (PyObject_GC_IsTracked(copy)) PyObject_GC_UnTrack(copy);
  t.dict = copy.release();
  templates[template_count++] = t;
}

}  // namespace

bool set_attrs(Obj self, std::initializer_list<Assignment> items) noexcept {
  PyTypeObject* type = Py_TYPE(self.p);
  // The lookups first: they can run code (a class dict's key's __eq__) that gives the
  // instance a dict after all.
  const bool plain = fresh_dict_slot(self.p) != nullptr && all_plain(type, items);
  PyObject** slot = plain ? fresh_dict_slot(self.p) : nullptr;
  if (slot != nullptr) {
    auto* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    for (std::size_t i = 0; i < template_count; ++i) {
      const Template& t = templates[i];
      if (t.type != type || !same_names(t, items) || reinterpret_cast<PyDictObject*>(t.dict)->ma_keys != keys) continue;
      Ref dict = result(PyDict_Copy(t.dict), self.loc);
      if (!dict) return false;
      if (*slot != nullptr) break;  // made meanwhile (a collection ran a finalizer): the generic way
      for (const Assignment& item : items)
        if (item.value != Py_None && !status(PyDict_SetItem(dict, item.name, item.value), self.loc)) return false;
      *slot = dict.release();
      return true;
    }
  }
  for (const Assignment& item : items)
    if (!setattr(self, item.name, item.value)) return false;
  // Held: copying it can collect, and a finalizer could replace the instance's dict.
  if (slot != nullptr && *slot != nullptr) keep_template(type, Ref::borrow(*slot), items);
  return true;
}
#else
bool set_attrs(Obj self, std::initializer_list<Assignment> items) noexcept {
  for (const Assignment& item : items)
    if (!setattr(self, item.name, item.value)) return false;
  return true;
}
#endif

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

// Where a part's characters are, read once: one byte per character, or not.
struct Run {
  const Py_UCS1* chars;  // NULL for a part of wider characters
  Py_ssize_t length;
};

template <class Texts>
Ref join_texts(const Texts& texts, std::size_t count, Loc loc) noexcept {
  std::array<Run, 8> runs;
  if (count > runs.size()) return raise(PyExc_SystemError, "too many parts to join", loc);
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  bool narrow = true;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* part = texts.text(i);
    if (!PyUnicode_Check(part)) {
      PyErr_Format(PyExc_TypeError, "sequence item: expected str instance, %.80s found", Py_TYPE(part)->tp_name);
      return failure(loc);
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(part) < 0) return failure(loc);
#endif
    const Py_ssize_t n = texts.length(i);
    length += n;
    if (PyUnicode_IS_ASCII(part)) {
      runs[i] = {static_cast<const Py_UCS1*>(PyUnicode_DATA(part)) + texts.start(i), n};
      if (max_char < 127) max_char = 127;
      continue;
    }
    const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
    if (part_max > max_char) max_char = part_max;
    runs[i] = {nullptr, n};
    narrow = false;
  }
  Ref joined = result(PyUnicode_New(length, max_char), loc);
  if (!joined) return {};
  if (narrow) {
    // Every part ASCII (URLs, paths, headers): plain copies.
    Py_UCS1* out = PyUnicode_1BYTE_DATA(joined.get());
    for (std::size_t i = 0; i < count; ++i) {
      copy_bytes(out, runs[i].chars, static_cast<std::size_t>(runs[i].length));
      out += runs[i].length;
    }
    return joined;
  }
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Py_ssize_t n = runs[i].length;
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
#if defined(__SSE2__)
    if (const int count = set.small_count(); count > 0 && length >= 16) {
      // Sixteen characters at a time against each character of the set; the last block
      // overlaps the one before, so that no load reaches past the text.
      __m128i wanted[4];
      for (int k = 0; k < count; ++k) wanted[k] = _mm_set1_epi8(static_cast<char>(set.listed(k)));
      auto found_in = [&](const Py_UCS1* at) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        __m128i found = _mm_cmpeq_epi8(block, wanted[0]);
        for (int k = 1; k < count; ++k) found = _mm_or_si128(found, _mm_cmpeq_epi8(block, wanted[k]));
        return _mm_movemask_epi8(found) != 0;
      };
      Py_ssize_t i = 0;
      for (; i + 16 <= length; i += 16)
        if (found_in(chars + i)) return true;
      return i < length && found_in(chars + length - 16);
    }
#endif
    for (Py_ssize_t i = 0; i < length; ++i)
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
