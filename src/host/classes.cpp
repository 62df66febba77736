#include "host/classes.hpp"

#include <array>
#include <cstddef>

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

// The most derived metaclass among type(base) for every base, as the interpreter chooses it;
// NULL with TypeError when they conflict.
PyObject* calculate_metaclass(PyObject* metaclass, PyObject* bases) noexcept {
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
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(winner);
}

const Name init_name{"__init__"};

// A class constructed directly, and what it was made with.
struct Constructed {
  PyTypeObject* type;
  PyObject* init;  // the module function, kept for the life of the process
  newfunc new_slot;
  initproc init_slot;
  KeptLookup init_lookup;
};
constexpr std::size_t max_constructed = 4;
std::array<Constructed, max_constructed> constructed;
std::size_t constructed_count = 0;

// type.__call__(cls, *args, **kwargs) for a vectorcall: the generic path, through the
// metaclass's call slot.
PyObject* generic_construct(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  Ref positional = Ref::steal(PyTuple_New(nargs));
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Ref::borrow(args[i]).release());
  Ref keywords;
  if (nkw > 0) {
    keywords = Ref::steal(PyDict_New());
    if (!keywords) return nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
  }
  return Py_TYPE(cls)->tp_call(cls, positional.get(), keywords.get());  // type's, or a metaclass's
}

PyObject* construct_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Constructed* entry = nullptr;
  for (std::size_t i = 0; i < constructed_count && entry == nullptr; ++i)
    if (constructed[i].type == type) entry = &constructed[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (entry == nullptr || Py_TYPE(cls) != &PyType_Type || type->tp_new != entry->new_slot ||
      type->tp_init != entry->init_slot || (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) != 0 ||
      nargs + nkw + 1 > static_cast<Py_ssize_t>(max_parameters))
    return generic_construct(cls, args, nargs, kwnames);
  if (type_lookup(type, init_name, entry->init_lookup) != entry->init) return generic_construct(cls, args, nargs, kwnames);
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  // self first, then the arguments as given: the function binds them as for any call.
  std::array<PyObject*, max_parameters> stack;
  stack[0] = self.get();
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[static_cast<std::size_t>(i) + 1] = args[i];
  // A module __init__ returns None on success, as type.__call__ requires of it.
  Ref returned = Ref::steal(PyObject_Vectorcall(entry->init, stack.data(), static_cast<size_t>(nargs) + 1, kwnames));
  if (!returned) return nullptr;
  return self.release();
}

}  // namespace

bool construct_directly(PyObject* cls, Loc loc) noexcept {
  if (Py_TYPE(cls) != &PyType_Type) return true;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // Only a class whose calls the interpreter would hand to a call slot of its own, which
  // it does not have yet.
  if (type->tp_vectorcall != nullptr || (PyType_Type.tp_flags & Py_TPFLAGS_HAVE_VECTORCALL) == 0) return true;
  PyObject* init = _PyType_Lookup(type, init_name);
  if (init == nullptr || !is_module_function(init) || type->tp_new != PyBaseObject_Type.tp_new) return true;
  if (constructed_count == max_constructed) {
    PyErr_SetString(PyExc_SystemError, "too many directly constructed classes");
    return static_cast<bool>(failure(loc));
  }
  pin_type(cls);
  constructed[constructed_count++] = {type, Ref::borrow(init).release(), type->tp_new, type->tp_init, {}};
  type->tp_vectorcall = construct_vectorcall;
  return true;
}

ClassBuilder::ClassBuilder(PyObject* name, std::initializer_list<PyObject*> bases, Loc loc) noexcept
    : name_(Ref::borrow(name)) {
  bases_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
  if (!step(static_cast<bool>(bases_), loc)) return;
  Py_ssize_t i = 0;
  for (PyObject* base : bases) PyTuple_SET_ITEM(bases_.get(), i++, Ref::borrow(base).release());

  PyObject* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
  if (bases.size() > 0) metaclass = reinterpret_cast<PyObject*>(Py_TYPE(*bases.begin()));
  if (PyType_Check(metaclass)) metaclass = calculate_metaclass(metaclass, bases_);
  if (!step(metaclass != nullptr, loc)) return;
  metaclass_ = Ref::borrow(metaclass);

  Ref prepare = Ref::steal(PyObject_GetAttr(metaclass_, prepare_name));
  if (!prepare) {
    if (!step(PyErr_ExceptionMatches(PyExc_AttributeError), loc)) return;
    PyErr_Clear();
    namespace_ = new_dict(loc);
  } else {
    namespace_ = call(Obj(prepare, loc), name_, bases_);
    if (namespace_ && !PyMapping_Check(namespace_)) {
      PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                   PyType_Check(metaclass) ? reinterpret_cast<PyTypeObject*>(metaclass)->tp_name : "<metaclass>",
                   Py_TYPE(namespace_.get())->tp_name);
      namespace_ = Ref{};
    }
  }
  if (!step(static_cast<bool>(namespace_), loc)) return;
  // The module's own name, whatever name it was loaded under: pickling, dataclasses and
  // documentation tools find the classes by it.
  module_name_ = Ref::steal(PyUnicode_InternFromString(this_module.qualified_name));
  if (!step(static_cast<bool>(module_name_), loc)) return;
  add(module_key, module_name_, loc);
  add(qualname_key, name_, loc);
}

bool ClassBuilder::step(bool ok, Loc loc) noexcept {
  if (ok_ && !ok) {
    ok_ = false;
    note(loc);
  }
  return ok_;
}

void ClassBuilder::add(Borrowed key, Borrowed value, Loc loc) noexcept {
  if (!step(value.get() != nullptr, loc)) return;
  step(PyObject_SetItem(namespace_, key, value) == 0, loc);
}

void ClassBuilder::doc(const char* text, Loc loc) noexcept {
  if (ok_) add(doc_key, Ref::steal(PyUnicode_FromString(text)), loc);
}

Ref ClassBuilder::function(const FunctionDef& fn) noexcept {
  if (!ok_) return {};
  Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", name_.get(), fn.name));
  if (qualname && fn.uses_class && !cell_) cell_ = Ref::steal(PyCell_New(nullptr));
  if (!step(qualname && (!fn.uses_class || cell_), fn.where)) return {};
  Ref made = make_function(fn, qualname, module_name_, fn.uses_class ? cell_.get() : nullptr);
  step(static_cast<bool>(made), fn.where);
  return made;
}

void ClassBuilder::add_member(const FunctionDef& fn, Ref value) noexcept {
  if (!step(static_cast<bool>(value), fn.where)) return;
  Ref key = Ref::steal(PyUnicode_InternFromString(fn.name));
  add(key, value, fn.where);
}

void ClassBuilder::method(const FunctionDef& fn) noexcept { add_member(fn, function(fn)); }

void ClassBuilder::property(const FunctionDef& fn) noexcept {
  Ref getter = function(fn);
  add_member(fn, getter ? call(Obj(record().property, fn.where), getter) : Ref{});
}

void ClassBuilder::classmethod(const FunctionDef& fn) noexcept {
  Ref function_object = function(fn);
  add_member(fn, function_object ? Ref::steal(PyClassMethod_New(function_object)) : Ref{});
}

void ClassBuilder::staticmethod(const FunctionDef& fn) noexcept {
  Ref function_object = function(fn);
  add_member(fn, function_object ? call(Obj(record().staticmethod, fn.where), function_object) : Ref{});
}

Ref ClassBuilder::create(Loc loc) noexcept {
  // The interpreter's type() fills the cell with the new class, as for a class body whose
  // methods use super().
  if (cell_) add(classcell_key, cell_, loc);
  if (!ok_) return {};
  Ref cls = call(Obj(metaclass_, loc), name_, bases_, namespace_);
  step(static_cast<bool>(cls), loc);
  return cls;
}

}  // namespace host
