#include "host/error.hpp"

#include <cstdarg>

namespace host {

namespace {
// Per thread: another thread may run between a failure and the function it leaves.
thread_local Where noted;
}  // namespace

void note(Loc loc) noexcept { noted = {loc.file_name(), loc.line()}; }
void note(Where where) noexcept { noted = where; }

Where take_noted() noexcept {
  Where where = noted;
  noted = {};
  return where;
}


namespace {

bool set_made(PyObject* type, PyObject* message) noexcept {
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
  return false;
}

}  // namespace

bool set_error(PyObject* type, const char* message) noexcept {
  return set_made(type, PyUnicode_FromString(message));
}

bool format_error(PyObject* type, const char* format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  PyObject* message = PyUnicode_FromFormatV(format, arguments);
  va_end(arguments);
  return set_made(type, message);
}

Ref raise(PyObject* type, const char* message, Loc loc) noexcept {
  set_error(type, message);
  return failure(loc);
}

namespace {

// Sets exception (a new reference to an instance of type) from cause, as "raise ... from".
Ref set_caused(PyObject* type, const char* message, PyObject* cause, bool context, Loc loc) noexcept {
  Ref exception = Ref::steal(PyObject_CallFunction(type, "s", message));
  if (exception.get() == nullptr) return failure(loc);
  if (!PyExceptionInstance_Check(exception.get())) return raise(PyExc_TypeError, "exceptions must derive from BaseException", loc);
  // Setting the cause also sets __suppress_context__, as "raise ... from" does.
  PyException_SetCause(exception, Ref::borrow(cause).release());
  if (context) PyException_SetContext(exception, Ref::borrow(cause).release());
  PyObject* exception_type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  if (context) {
    Py_INCREF(exception_type);
    PyErr_Restore(exception_type, exception.release(), nullptr);
  } else {
    PyErr_SetObject(exception_type, exception);  // chains to a handled exception, as raise does
  }
  return failure(loc);
}

}  // namespace

Ref raise_from(PyObject* type, const char* message, PyObject* cause, Loc loc) noexcept {
  return set_caused(type, message, cause, false, loc);
}

Caught::Caught() noexcept : noted_(take_noted()), thread_(PyThreadState_Get()), handled_{} {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    // A failure without an error indicator is a bug in this layer; make it visible.
    set_error(PyExc_SystemError, "error return without exception set");
    PyErr_Fetch(&type, &value, &traceback);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);

  // The item owns its references: code run meanwhile may swap them, as except blocks do.
#if PY_VERSION_HEX >= 0x030B0000
  handled_.exc_value = value_.new_ref();
#else
  handled_.exc_type = type_.new_ref();
  handled_.exc_value = value_.new_ref();
  handled_.exc_traceback = traceback_.new_ref();
#endif
  handled_.previous_item = thread_->exc_info;
  thread_->exc_info = &handled_;
}

Caught::~Caught() {
  thread_->exc_info = handled_.previous_item;
#if PY_VERSION_HEX >= 0x030B0000
  Py_CLEAR(handled_.exc_value);
#else
  Py_CLEAR(handled_.exc_type);
  Py_CLEAR(handled_.exc_value);
  Py_CLEAR(handled_.exc_traceback);
#endif
}

Ref Caught::reraise(Loc loc) noexcept {
  PyErr_Restore(type_.new_ref(), value_.new_ref(), traceback_.new_ref());
  if (noted_.file != nullptr) {
    note(noted_);
    return {};
  }
  return failure(loc);
}

bool Caught::catchable(PyObject* cls, Clause clause, Loc loc) const noexcept {
  const bool tuple = clause == Clause::alone && PyTuple_Check(cls);
  for (Py_ssize_t i = 0; i < (tuple ? PyTuple_GET_SIZE(cls) : 1); ++i) {
    if (!PyExceptionClass_Check(tuple ? PyTuple_GET_ITEM(cls, i) : cls)) {
      set_error(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
      note(loc);
      return false;
    }
  }
  return true;
}

Ref Caught::raise_from(PyObject* type, const char* message, Loc loc) noexcept {
  return set_caused(type, message, value_.get(), true, loc);
}

}  // namespace host
