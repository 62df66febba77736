// Attribute and item access, calls and string building for function bodies. Each helper
// returns an empty Ref (or false, or -1) on failure, with the exception pending and the
// caller's source line noted for the traceback entry; nothing here throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "host/error.hpp"
#include "host/kept.hpp"
#include "host/names.hpp"

namespace host {

// An object argument that remembers the caller's source line, so that a failure in the
// helper is reported at the line of the module code that asked for it.
struct Obj {
  PyObject* p;
  Loc loc;
  Obj(PyObject* p, Loc loc = Loc::current()) noexcept : p(p), loc(loc) {}
  Obj(const Ref& r, Loc loc = Loc::current()) noexcept : p(r.get()), loc(loc) {}
  Obj(const Name& n, Loc loc = Loc::current()) noexcept : p(n.get()), loc(loc) {}
  Obj(Borrowed b, Loc loc = Loc::current()) noexcept : p(b.get()), loc(loc) {}
};

inline PyObject* ptr(PyObject* p) noexcept { return p; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }
inline PyObject* ptr(const Name& n) noexcept { return n.get(); }

// A new reference from the C API, noting the place when it is NULL.
inline Ref result(PyObject* r, Loc loc) noexcept {
  if (r == nullptr) note(loc);
  return Ref::steal(r);
}
inline bool status(int s, Loc loc) noexcept {
  if (s < 0) note(loc);
  return s >= 0;
}

[[nodiscard]] inline Ref getattr(Obj o, Borrowed name) noexcept { return result(PyObject_GetAttr(o.p, name), o.loc); }

// getattr(module, name) for one of the module's names: a plain module's attributes are its
// dict, whose entry is read (and kept, see kept.hpp); a missing name, and anything but a plain
// module, the usual way.
[[nodiscard]] Ref module_attr(Obj module, const Name& name) noexcept;

// The entry of a plain module's dict for the name, borrowed; NULL when absent (see
// kept_entry()) and for anything but a plain module. For an identity check.
inline PyObject* module_entry(PyObject* module, const Name& name) noexcept {
  if (Py_TYPE(module) != &PyModule_Type) return nullptr;
  return kept_entry(PyModule_GetDict(module), name, name.attr_);
}

[[nodiscard]] inline bool setattr(Obj o, Borrowed name, Borrowed value) noexcept {
  return status(PyObject_SetAttr(o.p, name, value), o.loc);
}

// The same for one of the module's names: an interned str, which PyObject_SetAttr would only
// hand on to the type's setattr.
[[nodiscard]] inline bool setattr(Obj o, const Name& name, Borrowed value) noexcept {
  const setattrofunc set = Py_TYPE(o.p)->tp_setattro;
  return set != nullptr ? status(set(o.p, name, value), o.loc) : setattr(o, Borrowed(name.get()), value);
}

// getattr(o, name, None) for a name the type's getattr may not find: only an AttributeError
// means "none", and the generic getattr reports it without making one.
[[nodiscard]] Ref attribute_or_none(Obj o, Borrowed name) noexcept;

// cls.name for a class attribute that is a plain value (a base URL, a shared session). While
// the class's metaclass is exactly `type`, which has no attribute of that name, and the value
// the class's MRO holds has no __get__ (looked at on every call), that value is what the
// attribute lookup returns; anything else goes the usual way.
[[nodiscard]] Ref class_attr(Obj cls, const Name& name) noexcept;

// self.name = value for each pair, in order, as the instance's own setattr does them. Up to
// 3.10, a fresh instance (no dict yet) whose type uses the generic setattr and has no data
// descriptor of any of the names gets a copy of the dict those assignments made last time,
// values None, sharing the type's keys as that dict did (while they are still the keys the
// type shares): what the assignments would make, without a lookup and insertion per name.
struct Assignment {
  const Name& name;
  PyObject* value;
};
[[nodiscard]] bool set_attrs(Obj self, std::initializer_list<Assignment> items) noexcept;

[[nodiscard]] inline Ref getitem(Obj o, Borrowed key) noexcept { return result(PyObject_GetItem(o.p, key), o.loc); }

// o[key] for a str key: an exact dict is read directly (with the KeyError of a dict), any
// other mapping through its __getitem__.
[[nodiscard]] inline Ref item(Obj o, Borrowed key) noexcept {
  if (PyDict_CheckExact(o.p)) {
    PyObject* value = PyDict_GetItemWithError(o.p, key);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return failure(o.loc);
  }
  return getitem(o, key);
}

[[nodiscard]] inline bool setitem(Obj o, Borrowed key, Borrowed value) noexcept {
  return status(PyObject_SetItem(o.p, key, value), o.loc);
}

// iter(o), and next() on it: 1 with an item, 0 at the end, -1 on failure.
[[nodiscard]] inline Ref iterate(Obj o) noexcept { return result(PyObject_GetIter(o.p), o.loc); }

[[nodiscard]] inline int next(const Ref& iterator, Ref& item, Loc loc = Loc::current()) noexcept {
  item = Ref::steal(PyIter_Next(iterator));
  if (item.get() != nullptr) return 1;
  if (PyErr_Occurred()) {
    note(loc);
    return -1;
  }
  return 0;
}

// Python's truth test, `if x:`: 1 or 0, -1 on failure.
[[nodiscard]] inline int truthy(Obj o) noexcept {
  if (o.p == Py_None || o.p == Py_False) return 0;
  if (o.p == Py_True) return 1;
  const int t = PyObject_IsTrue(o.p);
  if (t < 0) note(o.loc);
  return t;
}

// f(*args)
template <class... A>
[[nodiscard]] Ref call(Obj f, const A&... args) noexcept {
  PyObject* stack[] = {nullptr, ptr(args)...};
  return result(PyObject_Vectorcall(f.p, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                f.loc);
}

// f(*positional, **keywords): the last kw.size arguments go by the names of kw, in order.
template <std::size_t K, class... A>
[[nodiscard]] Ref call_kw(Obj f, const Names<K>& kw, const A&... args) noexcept {
  static_assert(sizeof...(A) >= K, "a value for every keyword");
  PyObject* stack[] = {nullptr, ptr(args)...};
  return result(PyObject_Vectorcall(f.p, stack + 1, (sizeof...(A) - K) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kw.tuple()),
                f.loc);
}

// self.name(*args), without creating a bound method where the interpreter can avoid it.
template <class... A>
[[nodiscard]] Ref call_method(Obj self, Borrowed name, const A&... args) noexcept {
  PyObject* stack[] = {self.p, ptr(args)...};
  return result(
      PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
      self.loc);
}

// self.name(*positional, **keywords), keywords as in call_kw.
template <std::size_t K, class... A>
[[nodiscard]] Ref call_method_kw(Obj self, Borrowed name, const Names<K>& kw, const A&... args) noexcept {
  static_assert(sizeof...(A) >= K, "a value for every keyword");
  PyObject* stack[] = {self.p, ptr(args)...};
  return result(PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1 - K) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kw.tuple()),
                self.loc);
}

// format(x, ""): the text an f-string inserts for {x}; a str comes back unchanged.
[[nodiscard]] inline Ref format_text(Obj x) noexcept {
  if (PyUnicode_CheckExact(x.p)) return Ref::borrow(x.p);
  return result(PyObject_Format(x.p, nullptr), x.loc);
}

// a + b with Python's rules (so a non-str operand raises the interpreter's TypeError).
[[nodiscard]] Ref add(Obj a, Borrowed b) noexcept;

// The concatenation of str parts, as an f-string builds it.
[[nodiscard]] Ref join(PyObject* const* parts, std::size_t count, Loc loc = Loc::current()) noexcept;

// A piece of text to join: a whole str, or the characters [start, end) of a str that is
// all ASCII (so that the piece's widest character is known without reading it).
struct Piece {
  PyObject* text;
  Py_ssize_t start = 0;
  Py_ssize_t end = -1;  // -1: to the end of the str
  Py_ssize_t length() const noexcept { return (end < 0 ? PyUnicode_GET_LENGTH(text) : end) - start; }
};

// The pieces one after another; non-str pieces are refused as by str.join.
[[nodiscard]] Ref join(const Piece* pieces, std::size_t count, Loc loc = Loc::current()) noexcept;
[[nodiscard]] inline Ref join(std::initializer_list<PyObject*> parts, Loc loc = Loc::current()) noexcept {
  return join(parts.begin(), parts.size(), loc);
}

// A set of ASCII characters, made at compile time: one flag per byte value.
class CharSet {
 public:
  // The characters of `chars`, and NUL too when asked.
  constexpr explicit CharSet(const char* chars, bool with_nul = false) noexcept {
    for (; *chars != '\0'; ++chars) {
      const auto c = static_cast<unsigned char>(static_cast<unsigned char>(*chars) & 127u);
      flags_[c] = true;
      if (count_ < 4) list_[count_] = c;
      ++count_;
    }
    flags_[0] = with_nul;
    if (with_nul) {
      if (count_ < 4) list_[count_] = 0;
      ++count_;
    }
  }
  constexpr bool contains(Py_UCS4 c) const noexcept { return c < 128 && flags_[c]; }
  constexpr bool contains_byte(Py_UCS1 c) const noexcept { return flags_[c]; }
  // A set of at most four characters is also kept as a list, for comparing many at once.
  constexpr int small_count() const noexcept { return count_ <= 4 ? count_ : 0; }
  constexpr unsigned char listed(int i) const noexcept { return list_[i]; }

 private:
  bool flags_[256] = {};
  unsigned char list_[4] = {};
  int count_ = 0;
};

// memcpy and memcmp for the short runs of text the modules copy and compare (ids, URL
// pieces, categories): up to sixteen bytes with two overlapping loads, no library call.
template <class Word>  // for sizeof(Word) <= n <= 2 * sizeof(Word)
inline void copy_ends(unsigned char* to, const unsigned char* from, std::size_t n) noexcept {
  Word head, tail;
  std::memcpy(&head, from, sizeof(Word));
  std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(to, &head, sizeof(Word));
  std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
}

template <class Word>  // for sizeof(Word) <= n <= 2 * sizeof(Word)
inline bool same_ends(const unsigned char* a, const unsigned char* b, std::size_t n) noexcept {
  Word a0, a1, b0, b1;
  std::memcpy(&a0, a, sizeof(Word));
  std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
  std::memcpy(&b0, b, sizeof(Word));
  std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

inline void copy_bytes(void* to, const void* from, std::size_t n) noexcept {
  auto* d = static_cast<unsigned char*>(to);
  const auto* s = static_cast<const unsigned char*>(from);
  if (n > 16) {
    std::memcpy(d, s, n);
  } else if (n >= 8) {
    copy_ends<std::uint64_t>(d, s, n);
  } else if (n >= 4) {
    copy_ends<std::uint32_t>(d, s, n);
  } else if (n > 0) {
    const unsigned char first = s[0], middle = s[n / 2], last = s[n - 1];
    d[0] = first;
    d[n / 2] = middle;
    d[n - 1] = last;
  }
}

inline bool same_bytes(const void* a, const void* b, std::size_t n) noexcept {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  if (n > 16) return std::memcmp(x, y, n) == 0;
  if (n >= 8) return same_ends<std::uint64_t>(x, y, n);
  if (n >= 4) return same_ends<std::uint32_t>(x, y, n);
  for (std::size_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// Whether the str holds any character of the set.
bool has_any(PyObject* text, const CharSet& set) noexcept;

// New empty containers.
[[nodiscard]] inline Ref new_dict(Loc loc = Loc::current()) noexcept { return result(PyDict_New(), loc); }
[[nodiscard]] inline Ref new_list(Loc loc = Loc::current()) noexcept { return result(PyList_New(0), loc); }

// {k0: v0, k1: v1, ...} for interned str keys, in order.
template <class... KV>
[[nodiscard]] Ref dict_of(Loc loc, const KV&... kv) noexcept {
  static_assert(sizeof...(KV) % 2 == 0, "keys and values");
  PyObject* items[] = {ptr(kv)...};
  Ref d = new_dict(loc);
  if (!d) return {};
  for (std::size_t i = 0; i < sizeof...(KV); i += 2) {
    if (PyDict_SetItem(d, items[i], items[i + 1]) < 0) return failure(loc);
  }
  return d;
}

// Always an empty Ref, with the ValueError pending.
Ref raise_unpack_error(Py_ssize_t found, std::size_t expected, Loc loc) noexcept;

// a, b, ... = o: exactly N items, or ValueError in the wording of compiled code. False on
// failure.
template <std::size_t N>
[[nodiscard]] bool unpack(Obj o, std::array<Ref, N>& items) noexcept {
  if (PyTuple_CheckExact(o.p) || PyList_CheckExact(o.p)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(o.p);
    if (size != static_cast<Py_ssize_t>(N)) return static_cast<bool>(raise_unpack_error(size, N, o.loc));
    for (std::size_t i = 0; i < N; ++i) items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(o.p, i));
    return true;
  }
  Ref iterator = iterate(o);
  if (!iterator) return false;
  for (std::size_t i = 0; i < N; ++i) {
    const int got = next(iterator, items[i], o.loc);
    if (got < 0) return false;
    if (got == 0) return static_cast<bool>(raise_unpack_error(static_cast<Py_ssize_t>(i), N, o.loc));
  }
  Ref extra;
  const int got = next(iterator, extra, o.loc);
  if (got < 0) return false;
  if (got > 0) return static_cast<bool>(raise_unpack_error(static_cast<Py_ssize_t>(N) + 1, N, o.loc));
  return true;
}

}  // namespace host
