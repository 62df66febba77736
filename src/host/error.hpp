// Python exceptions in C++: failures returned as an empty Ref (the interpreter's convention)
// and except blocks that behave like Python's. The modules are built without C++ exceptions
// (-fno-exceptions): nothing is thrown, so a thread that the interpreter ends at exit
// (pthread_exit's forced unwinding) passes through their frames as through C frames.
#pragma once

#include "host/ref.hpp"

namespace host {

// ---- returned failures: the way a module function fails ----
//
// A step that fails leaves the interpreter's error indicator set, notes where it failed and
// gives an empty Ref (or false); the function body returns an empty Ref in turn:
//
//   Ref data = getitem(response, n::data);
//   if (!data) return {};
//
// The function object adds the traceback entry, at the noted source line, when the failure
// leaves the function; the module body's failure gets the entry of the module's init.

// Where the pending exception was noticed, for the traceback entry of the function it leaves.
struct Where {
  const char* file = nullptr;
  unsigned line = 0;
};

void note(Loc loc) noexcept;
void note(Where where) noexcept;
// The noted place, forgotten once read.
Where take_noted() noexcept;

// The function fails here with the pending exception.
inline Ref failure(Loc loc = Loc::current()) noexcept {
  note(loc);
  return {};
}

// Sets type(message), or type(PyUnicode_FromFormat(format, ...)), with the message made
// first: up to 3.11 PyErr_SetString and PyErr_Format set `type` without a message when it
// cannot be made, where Python raises the MemoryError. Always false.
bool set_error(PyObject* type, const char* message) noexcept;
bool format_error(PyObject* type, const char* format, ...) noexcept;

// raise type(message): the exception currently handled, if any, becomes its context.
Ref raise(PyObject* type, const char* message, Loc loc = Loc::current()) noexcept;

// raise type(message) from cause, outside any except block.
Ref raise_from(PyObject* type, const char* message, PyObject* cause, Loc loc = Loc::current()) noexcept;

// ---- except blocks ----

// The exception being handled, as in a Python except block: it is taken off the error
// indicator and made the handled exception (sys.exc_info()) until the block ends, so that
// anything raised meanwhile gets it as its context.
//
//   Ref answer = call_kw(request, kw, ...);
//   if (!answer) {
//     Caught e;
//     Ref http_error = global(n::HTTPError);
//     if (!http_error) return {};
//     if (!e.matches(http_error, PyExc_KeyError)) return e.reraise();
//     return e.raise_from(PyExc_ValueError, "...");
//   }
class Caught {
 public:
  Caught() noexcept;
  ~Caught();
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;

  PyObject* value() const noexcept { return value_.get(); }

  // How a class stands in an except clause: alone (`except X:`, where X may also be a tuple
  // of classes), or as an item of the clause's tuple (`except (X, Y):`, where it must be a class).
  enum class Clause { alone, in_tuple };

  // Whether a class from a module global can stand in this except clause, as the interpreter
  // checks it when an exception reaches the clause. False with the TypeError pending (the
  // caught exception its context).
  bool catchable(PyObject* cls, Clause clause, Loc loc = Loc::current()) const noexcept;

  template <class... Classes>
  bool matches(const Classes&... classes) const noexcept {
    return (... || PyErr_GivenExceptionMatches(value_.get(), Borrowed(classes).get()));
  }

  // raise: the same exception again, with its traceback, failing where it failed first.
  Ref reraise(Loc loc = Loc::current()) noexcept;
  // raise type(message) from the caught exception: it becomes the cause and the context.
  Ref raise_from(PyObject* type, const char* message, Loc loc = Loc::current()) noexcept;

 private:
  Ref type_, value_, traceback_;
  Where noted_;  // where the caught exception was noticed
  // Pushed on the thread's stack of handled exceptions, as a generator pushes its own, so
  // that sys.exc_info() and implicit chaining see the caught exception until the block ends.
  PyThreadState* thread_;
  _PyErr_StackItem handled_;
};

}  // namespace host
