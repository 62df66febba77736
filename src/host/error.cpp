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

Caught::Caught() noexcept {
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

  PyObject *saved_type, *saved_value, *saved_traceback;
  PyErr_GetExcInfo(&saved_type, &saved_value, &saved_traceback);
  saved_type_ = Ref::steal(saved_type);
  saved_value_ = Ref::steal(saved_value);
  saved_traceback_ = Ref::steal(saved_traceback);
  PyErr_SetExcInfo(type_.new_ref(), value_.new_ref(), traceback_.new_ref());
}

Caught::~Caught() {
  PyErr_SetExcInfo(saved_type_.release(), saved_value_.release(), saved_traceback_.release());
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
