#include "host/globals.hpp"

#include "host/call.hpp"

namespace host {

Record the_record;

// What the module dict lacks comes from the builtins (NameError when they lack it too), as for
// a function body's globals.
Ref builtin(Borrowed name, Loc loc) noexcept {
  PyObject* value = PyDict_GetItemWithError(the_record.builtins, name);
  if (value != nullptr) return Ref::borrow(value);
  if (!PyErr_Occurred()) {
    // The interpreter names the missing name on the exception (the "Did you mean" hints of
    // tracebacks read it), and raises it without when that fails.
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name.get()));
    Ref error = message ? Ref::steal(PyObject_CallOneArg(PyExc_NameError, message)) : Ref{};
    if (error) {
      if (PyObject_SetAttrString(error, "name", name) < 0) PyErr_Clear();
      PyErr_SetObject(PyExc_NameError, error);
    }
  }
  return failure(loc);
}

Ref global(Borrowed name, Loc loc) noexcept {
  PyObject* value = PyDict_GetItemWithError(the_record.globals, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return failure(loc);
  return builtin(name, loc);
}

bool set_global(Borrowed name, Borrowed value, Loc loc) noexcept {
  return value.get() != nullptr && status(PyDict_SetItem(the_record.globals, name, value), loc);
}

}  // namespace host
