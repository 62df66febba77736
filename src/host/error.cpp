#include "host/error.hpp"

#include <exception>
#include <new>

namespace host {

void raise(PyObject* type, const char* message, Loc loc) {
  PyErr_SetString(type, message);
  fail(loc);
}

void raise_object(Borrowed object, Loc loc) {
  PyObject* obj = object.get();
  if (PyExceptionInstance_Check(obj)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    fail(loc);
  }
  if (!PyExceptionClass_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    fail(loc);
  }
  Ref instance = check(PyObject_CallNoArgs(obj), loc);
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                 reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
    fail(loc);
  }
  PyErr_SetObject(obj, instance);
  fail(loc);
}

Caught::Caught() noexcept : thread_(PyThreadState_Get()), handled_{} {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    // A PythonError without an error indicator is a bug in this layer; make it visible.
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
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

void Caught::reraise(Loc loc) {
  PyErr_Restore(type_.new_ref(), value_.new_ref(), traceback_.new_ref());
  fail(loc);
}

void Caught::raise_from(PyObject* type, const char* message, Loc loc) {
  Ref exception = check(PyObject_CallFunction(type, "s", message), loc);
  if (!PyExceptionInstance_Check(exception.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    fail(loc);
  }
  // Setting the cause also sets __suppress_context__, as "raise ... from" does.
  PyException_SetCause(exception, value_.new_ref());
  PyException_SetContext(exception, value_.new_ref());
  PyObject* exception_type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(exception_type);
  PyErr_Restore(exception_type, exception.release(), nullptr);
  fail(loc);
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace host
