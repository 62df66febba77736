// Owning references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <concepts>
#include <source_location>
#include <utility>

namespace host {

// Owns one reference to a Python object (or none) and releases it in its destructor.
// Ownership is taken explicitly: steal() for a new reference, borrow() to add one.
// It converts to a borrowed PyObject* only while it is an lvalue, so a temporary's
// pointer cannot outlive it.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Whether it holds an object: an empty Ref is a failure with the exception pending.
  explicit operator bool() const noexcept { return p_ != nullptr; }
  operator PyObject*() const& noexcept { return p_; }
  operator PyObject*() const&& = delete;
  // Hands the reference over to the caller (for C API functions that steal, or a return).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  Ref copy() const noexcept { return borrow(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference to None, for functions that return it.
inline Ref none() noexcept { return Ref::borrow(Py_None); }

using Loc = std::source_location;

// The one borrowed handle: an object argument of this layer's helpers, given as a raw pointer,
// a Ref (a temporary one too: it lives until the end of the full expression) or an interned
// name. It remembers the caller's source line, so that a failure in the helper is reported at
// the line of the module code that asked for it.
class Borrowed {
 public:
  Borrowed(PyObject* p, Loc loc = Loc::current()) noexcept : p_(p), loc_(loc) {}
  Borrowed(const Ref& r, Loc loc = Loc::current()) noexcept : p_(r.get()), loc_(loc) {}
  template <class T>
    requires requires(const T& t) {
      { t.get() } -> std::convertible_to<PyObject*>;
    }
  Borrowed(const T& t, Loc loc = Loc::current()) noexcept : p_(t.get()), loc_(loc) {}
  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }
  Loc loc() const noexcept { return loc_; }

 private:
  PyObject* p_;
  Loc loc_;
};

}  // namespace host
