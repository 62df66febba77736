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

}  // namespace

// The decorators of members.
const Name ClassBuilder::property_name{"property"};
const Name ClassBuilder::classmethod_name{"classmethod"};
const Name ClassBuilder::staticmethod_name{"staticmethod"};

ClassBuilder::ClassBuilder(PyObject* name, std::initializer_list<PyObject*> bases, Loc loc) noexcept
    : name_(Ref::borrow(name)) {
  bases_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
  if (!step(static_cast<bool>(bases_), loc)) return;
  Py_ssize_t i = 0;
  for (PyObject* base : bases) PyTuple_SET_ITEM(bases_.get(), i++, Ref::borrow(base).release());

  // The metaclass: type, or the type of the one base (what the interpreter's choice of the
  // most derived metaclass comes to for a single base).
  if (!step(bases.size() <= 1 || raise(PyExc_SystemError, "a class of the module has one base at most", loc), loc))
    return;
  metaclass_ = Ref::borrow(bases.size() == 0 ? reinterpret_cast<PyObject*>(&PyType_Type)
                                             : reinterpret_cast<PyObject*>(Py_TYPE(*bases.begin())));

  Ref prepare = Ref::steal(PyObject_GetAttr(metaclass_, prepare_name));
  if (!prepare) {
    if (!step(PyErr_ExceptionMatches(PyExc_AttributeError), loc)) return;
    PyErr_Clear();
    namespace_ = new_dict(loc);
  } else {
    namespace_ = call(Borrowed(prepare, loc), name_, bases_);
    if (namespace_ && !PyMapping_Check(namespace_)) {
      format_error(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                   PyType_Check(metaclass_.get()) ? reinterpret_cast<PyTypeObject*>(metaclass_.get())->tp_name : "<metaclass>",
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

// @decorator over the function, the decorator looked up as the class body would find it.
void ClassBuilder::decorated(const FunctionDef& fn, const Name& decorator_name) noexcept {
  Ref function_object = function(fn);
  Ref decorator = function_object ? global(decorator_name, fn.where) : Ref{};
  add_member(fn, decorator ? call(Borrowed(decorator, fn.where), function_object) : Ref{});
}

void ClassBuilder::property(const FunctionDef& fn) noexcept { decorated(fn, property_name); }
void ClassBuilder::classmethod(const FunctionDef& fn) noexcept { decorated(fn, classmethod_name); }
void ClassBuilder::staticmethod(const FunctionDef& fn) noexcept { decorated(fn, staticmethod_name); }

Ref ClassBuilder::create(Loc loc) noexcept {
  // The interpreter's type() fills the cell with the new class, as for a class body whose
  // methods use super().
  if (cell_) add(classcell_key, cell_, loc);
  if (!ok_) return {};
  Ref cls = call(Borrowed(metaclass_, loc), name_, bases_, namespace_);
  step(static_cast<bool>(cls), loc);
  return cls;
}

}  // namespace host
