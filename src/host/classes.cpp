#include "host/classes.hpp"

#include "host/call.hpp"
#include "host/globals.hpp"
#include "host/module.hpp"

namespace host {

namespace {

const Name prepare_name{"__prepare__"};
const Name module_key{"__module__"};
const Name qualname_key{"__qualname__"};
const Name doc_key{"__doc__"};
const Name classcell_key{"__classcell__"};

// The most derived metaclass among type(base) for every base, as the interpreter chooses it.
PyObject* calculate_metaclass(PyObject* metaclass, PyObject* bases, Loc loc) {
  auto* winner = reinterpret_cast<PyTypeObject*>(metaclass);
  const Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, candidate)) continue;
    if (PyType_IsSubtype(candidate, winner)) {
      winner = candidate;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    fail(loc);
  }
  return reinterpret_cast<PyObject*>(winner);
}

}  // namespace

ClassBuilder::ClassBuilder(PyObject* name, std::initializer_list<PyObject*> bases, Loc loc)
    : name_(Ref::borrow(name)) {
  bases_ = check(PyTuple_New(static_cast<Py_ssize_t>(bases.size())), loc);
  Py_ssize_t i = 0;
  for (PyObject* base : bases) PyTuple_SET_ITEM(bases_.get(), i++, Ref::borrow(base).release());

  PyObject* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
  if (bases.size() > 0) metaclass = reinterpret_cast<PyObject*>(Py_TYPE(*bases.begin()));
  if (PyType_Check(metaclass)) metaclass = calculate_metaclass(metaclass, bases_, loc);
  metaclass_ = Ref::borrow(metaclass);

  Ref prepare = Ref::steal(PyObject_GetAttr(metaclass_, prepare_name));
  if (prepare.get() == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail(loc);
    PyErr_Clear();
    namespace_ = must(new_dict(loc), loc);
  } else {
    namespace_ = must(call(Obj(prepare, loc), name_, bases_), loc);
    if (!PyMapping_Check(namespace_)) {
      PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                   PyType_Check(metaclass) ? reinterpret_cast<PyTypeObject*>(metaclass)->tp_name : "<metaclass>",
                   Py_TYPE(namespace_.get())->tp_name);
      fail(loc);
    }
  }
  // The module's own name, whatever name it was loaded under: pickling, dataclasses and
  // documentation tools find the classes by it.
  module_name_ = check(PyUnicode_InternFromString(this_module.qualified_name), loc);
  add(module_key, module_name_, loc);
  add(qualname_key, name_, loc);
}

void ClassBuilder::add(Borrowed key, Borrowed value, Loc loc) { must(setitem(Obj(namespace_, loc), key, value), loc); }

void ClassBuilder::doc(const char* text, Loc loc) {
  Ref value = check(PyUnicode_FromString(text), loc);
  add(doc_key, value, loc);
}

Ref ClassBuilder::function(const FunctionDef& fn) {
  Ref qualname = check(PyUnicode_FromFormat("%U.%s", name_.get(), fn.name), fn.where);
  if (fn.uses_class && cell_.get() == nullptr) cell_ = check(PyCell_New(nullptr), fn.where);
  return make_function(fn, qualname, module_name_, fn.uses_class ? cell_.get() : nullptr);
}

void ClassBuilder::add_member(const FunctionDef& fn, Ref value) {
  Ref key = check(PyUnicode_InternFromString(fn.name), fn.where);
  add(key, value, fn.where);
}

void ClassBuilder::method(const FunctionDef& fn) { add_member(fn, function(fn)); }

void ClassBuilder::property(const FunctionDef& fn) {
  add_member(fn, must(call(Obj(record().property, fn.where), function(fn)), fn.where));
}

void ClassBuilder::classmethod(const FunctionDef& fn) {
  Ref function_object = function(fn);
  add_member(fn, check(PyClassMethod_New(function_object), fn.where));
}

void ClassBuilder::staticmethod(const FunctionDef& fn) {
  add_member(fn, must(call(Obj(record().staticmethod, fn.where), function(fn)), fn.where));
}

Ref ClassBuilder::create(Loc loc) {
  // The interpreter's type() fills the cell with the new class, as for a class body whose
  // methods use super().
  if (cell_.get() != nullptr) add(classcell_key, cell_, loc);
  return must(call(Obj(metaclass_, loc), name_, bases_, namespace_), loc);
}

}  // namespace host
