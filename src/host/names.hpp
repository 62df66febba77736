// Interned strings and tuples of them, made once when the module executes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/error.hpp"

namespace host {

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
  friend bool make_interned() noexcept;
  // Not pure: a pure virtual function would link in the C++ runtime's handler for calling one.
  virtual bool make() noexcept { return true; }
  Interned* next_;
};

// Builds every registered Interned object; false with the exception pending on failure.
bool make_interned() noexcept;

// An interned str: identifiers, keys and fixed texts of the module.
class Name final : public Interned {
 public:
  explicit Name(const char* text) noexcept : text_(text) {}
  PyObject* get() const noexcept { return obj_; }
  operator PyObject*() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }

 private:
  bool make() noexcept override;
  const char* text_;
  PyObject* obj_ = nullptr;
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
  bool make() noexcept override {
    Ref tuple = Ref::steal(PyTuple_New(N));
    if (!tuple) return false;
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* name = PyUnicode_InternFromString(texts_[i]);
      if (name == nullptr) return false;
      PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    Py_XSETREF(tuple_, tuple.release());
    return true;
  }
  std::array<const char*, N> texts_;
  PyObject* tuple_ = nullptr;
};

template <class... T>
Names(T...) -> Names<sizeof...(T)>;

}  // namespace host
