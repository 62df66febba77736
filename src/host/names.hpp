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
  void make() override;
  const char* text_;
  PyObject* obj_ = nullptr;
  // The module global of this name as last looked up, and the module dict's version then
  // (see global() in globals.hpp).
  mutable std::uint64_t global_version_ = 0;
  mutable PyObject* global_value_ = nullptr;
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
