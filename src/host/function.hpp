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

// The class a function was defined in (for zero-argument super()), borrowed; NULL with the
// interpreter's RuntimeError when the class is not there.
PyObject* defining_class(PyObject* function, Loc loc = Loc::current()) noexcept;

// Adds a traceback entry "name" at file:line to the pending exception, as a frame of a
// Python function would (for the module body; functions keep their own code objects).
void add_traceback(PyObject* name, const char* file, int line) noexcept;

}  // namespace host
