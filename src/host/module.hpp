// The module lifecycle: create and exec steps with their guards, and the import statements.
#pragma once

#include "host/call.hpp"
#include "host/globals.hpp"

namespace host {

// What a compiled module tells this layer; each module defines `this_module`.
struct ModuleInfo {
  const char* name;            // as in its module definition: "brimvale"
  const char* qualified_name;  // "zelmar.external.brimvale"
  void (*load)();              // builtins looked up once, constants; after the names are made
  void (*body)();              // the module body, statement by statement
};

extern const ModuleInfo this_module;

// The module definition for multi-phase initialisation: named this_module.name, no
// documentation, no functions, no per-module state (the working state is process-wide),
// and the two slots below.
PyModuleDef* module_definition() noexcept;

PyObject* create_module(PyObject* module_spec, PyModuleDef* def) noexcept;
int exec_module(PyObject* module) noexcept;

// __import__(name, globals, None, fromlist, level), relative to this module for level > 0.
Ref import_module(PyObject* name, PyObject* fromlist = nullptr, int level = 0, Loc loc = Loc::current());

// The attribute a from-import binds; a missing one is "cannot import name ...".
Ref import_name(PyObject* module, PyObject* name, Loc loc = Loc::current());

// from <module> import <names...>: binds each name in the module namespace, in order.
template <std::size_t N>
void import_from(PyObject* module_name, const Names<N>& names, int level = 0, Loc loc = Loc::current()) {
  Ref module = import_module(module_name, names.tuple(), level, loc);
  for (std::size_t i = 0; i < N; ++i) bind(names[i], import_name(module, names[i], loc), loc);
}

}  // namespace host
