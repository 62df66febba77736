// Interned strings and tuples of them, made once when the module executes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/error.hpp"

namespace host {

class Ref;
struct Obj;

// A type as it was when a check of its attributes passed. While it is the same type with
// the same valid version tag, neither it nor any of its bases has changed since (the
// interpreter renews the tag on every such change, as its own attribute caches rely on),
// so the check still holds.
class TypeSeen {
 public:
  bool still(PyTypeObject* type) const noexcept {
    return type == type_ && type->tp_version_tag == version_ && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
  }
  void remember(PyTypeObject* type) noexcept {
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) return;
    type_ = type;  // compared, never followed: a type made later gets a new tag
    version_ = type->tp_version_tag;
  }

 private:
  PyTypeObject* type_ = nullptr;
  unsigned version_ = 0;
};

// A dict's entry as last read, and the dict's version tag then. Every change of a dict
// renews its tag from a counter of the whole interpreter, so a tag belongs to one state of
// one dict: while it stays, so does the entry, held by the dict (the interpreter's own
// caches of globals rely on this). Not kept where the interpreter keeps no such tag.
struct KeptEntry {
  std::uint64_t version = 0;
  PyObject* value = nullptr;
};

// dict[key] for an exact dict and an exact str key, borrowed: the kept entry while the
// dict's version stays, a lookup otherwise (kept when found). NULL when absent, or with an
// exception pending when comparing with another key of the dict failed.
inline PyObject* kept_entry(PyObject* dict, PyObject* key, KeptEntry& kept) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  const std::uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
  if (kept.value != nullptr && kept.version == version) return kept.value;
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value != nullptr) kept = {version, value};
  return value;
#else
  (void)kept;
  return PyDict_GetItemWithError(dict, key);
#endif
}

// Something the module makes once at load time. Instances are static objects that
// register themselves; make_interned() builds them all when the module executes.
class Interned {
 public:
  Interned(const Interned&) = delete;
  Interned& operator=(const Interned&) = delete;

 protected:
  Interned() noexcept;
  ~Interned() = default;

 private:
  friend void make_interned();
  virtual void make() = 0;
  Interned* next_;
};

// Builds every registered Interned object; throws PythonError on failure.
void make_interned();

// An interned str: identifiers, keys and fixed texts of the module.
class Name final : public Interned {
 public:
  explicit Name(const char* text) noexcept : text_(text) {}
  PyObject* get() const noexcept { return obj_; }
  operator PyObject*() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }

 private:
  friend PyObject* global_entry(const Name& name) noexcept;
  friend Ref class_attr(struct Obj cls, const Name& name) noexcept;
  friend Ref instance_attr(struct Obj self, const Name& name) noexcept;
  friend PyObject* module_entry(PyObject* module, const Name& name) noexcept;
  friend bool no_data_descriptor(PyTypeObject* type, const Name& name) noexcept;
  void make() override;
  const char* text_;
  PyObject* obj_ = nullptr;
  // This name's entry in the module dict, and in the dict of the module last asked for an
  // attribute of this name (see kept_entry()).
  mutable KeptEntry global_;
  mutable KeptEntry attr_;
  // The class attribute of this name as last read (see class_attr() in call.hpp), and the
  // type last seen without a data descriptor of this name.
  mutable TypeSeen class_seen_;
  mutable PyObject* class_value_ = nullptr;
  mutable TypeSeen plain_seen_;
};

// A tuple of N interned names: the keyword names of a call, or the names of a from-import.
template <std::size_t N>
class Names final : public Interned {
 public:
  template <class... T>
  explicit Names(T... texts) noexcept : texts_{texts...} {
    static_assert(sizeof...(T) == N, "one text per name");
  }
  PyObject* tuple() const noexcept { return tuple_; }
  PyObject* operator[](std::size_t i) const noexcept { return PyTuple_GET_ITEM(tuple_, i); }
  static constexpr std::size_t size = N;

 private:
  void make() override {
    Ref tuple = check(PyTuple_New(N));
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* name = PyUnicode_InternFromString(texts_[i]);
      if (name == nullptr) fail();
      PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    Py_XDECREF(tuple_);
    tuple_ = tuple.release();
  }
  std::array<const char*, N> texts_;
  PyObject* tuple_ = nullptr;
};

template <class... T>
Names(T...) -> Names<sizeof...(T)>;

}  // namespace host
