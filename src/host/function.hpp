// The module's function objects: described by data, bound like Python functions.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "host/error.hpp"

namespace host {

// The arguments of a call, bound to the parameters in their order (positional-or-keyword
// parameters, then keyword-only ones), defaults filled in. All borrowed.
struct Args {
  PyObject* const* values;
  PyObject* function;
  PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
};

using Impl = Ref (*)(const Args&);

// What a function is: everything Python's introspection shows of it, and its body.
struct FunctionDef {
  const char* name;
  std::vector<const char*> positional;         // positional-or-keyword, self or cls included
  std::vector<const char*> keyword_only = {};
  std::vector<const char*> locals = {};        // further local names, shown in __code__
  std::vector<PyObject*> defaults = {};        // for the last positional parameters
  std::vector<std::pair<const char*, PyObject*>> kwdefaults = {};
  std::vector<std::pair<const char*, const char*>> annotations = {};  // stored as strings
  const char* doc = nullptr;
  Impl impl = nullptr;
  bool uses_class = false;  // the body needs its class (zero-argument super())
  Loc where = Loc::current();
};

inline constexpr std::size_t max_parameters = 16;

// A new function object. qualname as Python computes it ("Class.method"); module_name
// becomes __module__; class_cell, if given, is the cell that will hold the defining class.
Ref make_function(const FunctionDef& fn, PyObject* qualname, PyObject* module_name,
                  PyObject* class_cell = nullptr);

// The class a function was defined in (for zero-argument super()); fails with the
// interpreter's wording when the class is not there.
PyObject* defining_class(PyObject* function, Loc loc = Loc::current());

// Adds a traceback entry "name" at file:line to the pending exception, as a frame of a
// Python function would.
void add_traceback(PyObject* name, const char* file, int line) noexcept;

}  // namespace host
