// The module's function objects: described by data, bound like Python functions.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "host/call.hpp"
#include "host/error.hpp"
#include "host/names.hpp"

namespace host {

// The arguments of a call, bound to the parameters in their order (positional-or-keyword
// parameters, then keyword-only ones), defaults filled in. All borrowed.
struct Args {
  PyObject* const* values;
  PyObject* function;
  PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
};

// A function body: the result, or an empty Ref with the exception pending (see error.hpp).
using Impl = Ref (*)(const Args&);

// What a function is: everything Python's introspection shows of it, and its body. Written
// as one braced expression: the lists live as long as the description.
struct FunctionDef {
  const char* name;
  std::initializer_list<const char*> positional;  // positional-or-keyword, self or cls included
  std::initializer_list<const char*> keyword_only = {};
  std::initializer_list<const char*> locals = {};  // further local names, shown in __code__
  std::initializer_list<PyObject*> defaults = {};  // for the last positional parameters
  std::initializer_list<std::pair<const char*, PyObject*>> kwdefaults = {};
  std::initializer_list<std::pair<const char*, const char*>> annotations = {};  // stored as strings
  const char* doc = nullptr;
  Impl impl = nullptr;
  bool uses_class = false;  // the body needs its class (zero-argument super())
  Loc where = Loc::current();
};

inline constexpr std::size_t max_parameters = 16;

// A new function object. qualname as Python computes it ("Class.method"); module_name
// becomes __module__; class_cell, if given, is the cell that will hold the defining class.
// Empty on failure, with the exception pending and the place of the description noted.
Ref make_function(const FunctionDef& fn, PyObject* qualname, PyObject* module_name,
                  PyObject* class_cell = nullptr) noexcept;

// Whether o is a function made by make_function (of this module).
bool is_module_function(PyObject* o) noexcept;

// A classmethod, staticmethod or property this module put in a class namespace, and the
// module function it wraps (a property's getter). While cls.<name> (or self.<name>) still
// resolves to that very member, wrapping that very function (an exact lookup, kept as
// kept.hpp says, and an identity check on every call), a call can go to the function
// directly: no bound method, no attribute machinery, no argument binding.
class Member {
 public:
  // After the class is created: remembers what cls.<name> holds, if it is such a member.
  void remember(PyObject* cls, PyObject* name) noexcept;
  // Whether cls.<name> is still the remembered member, wrapping the same function.
  bool resolves(PyObject* cls, PyObject* name) const noexcept {
    // Exactly `type` as the metaclass: then cls.<name> is what the class's MRO holds for it.
    return descriptor_ != nullptr && Py_TYPE(cls) == &PyType_Type && held_by(reinterpret_cast<PyTypeObject*>(cls), name);
  }
  // Whether self.<name> reads the remembered property, with the same getter.
  bool resolves_on(PyObject* self, PyObject* name) const noexcept {
    // A property is a data descriptor: with the generic getattr it comes before the instance
    // dict, so the type's MRO alone decides.
    PyTypeObject* type = Py_TYPE(self);
    return descriptor_ != nullptr && type->tp_getattro == PyObject_GenericGetAttr && held_by(type, name);
  }
  PyObject* function() const noexcept { return function_; }

 private:
  // classmethod and staticmethod objects begin with the callable they wrap, and property
  // objects with their getter (CPython 3.10 to 3.13); remember() checks this on the objects
  // it keeps, through their public attributes, before relying on it.
  struct Wrapper {
    PyObject_HEAD
    PyObject* callable;
  };

  // Whether the type's MRO gives the remembered member under name, wrapping the same
  // function: it may have been re-initialised in place, which changes no class.
  bool held_by(PyTypeObject* type, PyObject* name) const noexcept {
    return type_lookup(type, name, lookup_) == descriptor_ &&
           reinterpret_cast<const Wrapper*>(descriptor_)->callable == function_;
  }

  PyObject* descriptor_ = nullptr;  // kept for the life of the process
  PyObject* function_ = nullptr;
  mutable KeptLookup lookup_;
};

// Calls a module function with its arguments already bound, one value per parameter in
// order, as its vectorcall does after binding, with a traceback entry when an exception
// leaves it. On failure the caller's place is noted. It enters no recursion guard: it only
// goes from one module function to another, and any cycle also passes through a call
// that the interpreter or the function's vectorcall guards.
Ref invoke(PyObject* function, std::initializer_list<PyObject*> values, Loc loc = Loc::current()) noexcept;

// cls.name(**keywords) for a classmethod of the module whose keywords name every parameter
// after cls, in order: straight to the function while cls.<name> resolves to the member,
// through the attribute otherwise.
template <std::size_t K, class... A>
[[nodiscard]] Ref call_member_kw(const Member& member, Obj cls, Borrowed name, const Names<K>& kw,
                                 const A&... args) noexcept {
  static_assert(sizeof...(A) == K, "every parameter by keyword");
  if (member.resolves(cls.p, name)) return invoke(member.function(), {cls.p, ptr(args)...}, cls.loc);
  return call_method_kw(cls, name, kw, args...);
}

// Adds the traceback entry of a module function to the pending exception, at `where` in
// it (by default the line it is defined on): for a call that went past that function
// straight to the one it calls, or to the work it does.
void add_traceback_entry(PyObject* function, Where where = {}) noexcept;

// The current default of a keyword-only parameter (from __kwdefaults__), as binding would
// take it; an empty Ref without an exception when it has none.
Ref keyword_default(PyObject* function, PyObject* name) noexcept;

// The class a function was defined in (for zero-argument super()), borrowed; NULL with the
// interpreter's RuntimeError when the class is not there.
PyObject* defining_class(PyObject* function, Loc loc = Loc::current()) noexcept;

// Adds a traceback entry "name" at file:line to the pending exception, as a frame of a
// Python function would (for the module body; functions keep their own code objects).
void add_traceback(PyObject* name, const char* file, int line) noexcept;

}  // namespace host
