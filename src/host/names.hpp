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
  friend class GlobalCache;
  friend Ref class_attr(struct Obj cls, const Name& name) noexcept;
  friend Ref instance_attr(struct Obj self, const Name& name) noexcept;
  friend Ref module_attr(struct Obj module, const Name& name) noexcept;
  friend bool no_data_descriptor(PyTypeObject* type, const Name& name) noexcept;
  void make() override;
  const char* text_;
  PyObject* obj_ = nullptr;
  // The module global of this name as last looked up, and the module dict's version then
  // (see global() in globals.hpp).
  mutable std::uint64_t global_version_ = 0;
  mutable PyObject* global_value_ = nullptr;
  // The attribute of this name of the module last read (see module_attr() in call.hpp), and
  // that module dict's version then: a version tag belongs to one state of one dict.
  mutable std::uint64_t attr_version_ = 0;
  mutable PyObject* attr_value_ = nullptr;
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
