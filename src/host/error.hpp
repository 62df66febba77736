// Python exceptions as C++ exceptions, and except blocks that behave like Python's.
#pragma once

#include <source_location>

#include "host/ref.hpp"

namespace host {

using Loc = std::source_location;

// Thrown when the interpreter's error indicator is set. It carries the C++ source position
// where the failure was noticed, for the traceback entry of the function it leaves.
struct PythonError {
  const char* file;
  unsigned line;
};

[[noreturn]] inline void fail(Loc loc = Loc::current()) { throw PythonError{loc.file_name(), loc.line()}; }

// A new reference from the C API, or PythonError when it is NULL.
inline Ref check(PyObject* result, Loc loc = Loc::current()) {
  if (result == nullptr) fail(loc);
  return Ref::steal(result);
}

// A C API status, failing when negative.
inline int check_status(int status, Loc loc = Loc::current()) {
  if (status < 0) fail(loc);
  return status;
}

// raise type(message): the exception currently handled, if any, becomes its context.
[[noreturn]] void raise(PyObject* type, const char* message, Loc loc = Loc::current());

// raise obj, with the rules of a compiled raise statement: an exception instance is raised
// as it is, an exception class is called without arguments, anything else is a TypeError.
[[noreturn]] void raise_object(Borrowed obj, Loc loc = Loc::current());

// The exception being handled inside a catch block, as in a Python except block:
// it is taken off the error indicator and made the handled exception (sys.exc_info())
// until the block ends, so that anything raised meanwhile gets it as its context.
//
//   try { ... } catch (const PythonError&) {
//     Caught e;
//     if (!e.matches(global(n::HTTPError), PyExc_KeyError)) e.reraise();
//     e.raise_from(PyExc_ValueError, "...");
//   }
class Caught {
 public:
  Caught() noexcept;
  ~Caught();
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;

  PyObject* value() const noexcept { return value_.get(); }

  template <class... Classes>
  bool matches(const Classes&... classes) const noexcept {
    return (... || PyErr_GivenExceptionMatches(value_.get(), as_object(classes)));
  }

  // raise: the same exception again, with its traceback.
  [[noreturn]] void reraise(Loc loc = Loc::current());
  // raise type(message) from the caught exception: it becomes the cause and the context.
  [[noreturn]] void raise_from(PyObject* type, const char* message, Loc loc = Loc::current());

 private:
  static PyObject* as_object(PyObject* p) noexcept { return p; }
  static PyObject* as_object(const Ref& r) noexcept { return r.get(); }

  Ref type_, value_, traceback_;
  // Pushed on the thread's stack of handled exceptions, as a generator pushes its own, so
  // that sys.exc_info() and implicit chaining see the caught exception until the block ends.
  PyThreadState* thread_;
  _PyErr_StackItem handled_;
};

// Turns whatever reached a C boundary into a set error indicator (C++ exceptions must not
// cross into the interpreter). Call inside a catch (...) block.
void translate_current_exception() noexcept;

}  // namespace host
