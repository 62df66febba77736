// The module lifecycle: create and exec steps with their guards, and the import statements.
#pragma once

#include "host/call.hpp"
#include "host/globals.hpp"

namespace host {

// What a compiled module tells this layer; each module defines `this_module`. Both steps
// return false with the exception pending and its place noted.
struct ModuleInfo {
  const char* name;             // as in its module definition: "brimvale"
  const char* qualified_name;   // "zelmar.external.brimvale"
  bool (*load)() noexcept;      // builtins looked up once, constants; after the names are made
  bool (*body)() noexcept;      // the module body, statement by statement
};

extern const ModuleInfo this_module;

// The module definition for multi-phase initialisation: named this_module.name, no
// documentation, no functions, no per-module state (the working state is process-wide),
// and the two slots below.
PyModuleDef* module_definition() noexcept;

PyObject* create_module(PyObject* module_spec, PyModuleDef* def) noexcept;
int exec_module(PyObject* module) noexcept;

// __import__(name, globals, None, fromlist, level), relative to this module for level > 0.
[[nodiscard]] Ref import_module(PyObject* name, PyObject* fromlist = nullptr, int level = 0,
                                Loc loc = Loc::current()) noexcept;

// The attribute a from-import binds; a missing one is "cannot import name ...". Empty when
// the module is (its import failed).
[[nodiscard]] Ref import_name(Borrowed module, PyObject* name, Loc loc = Loc::current()) noexcept;

// from <module> import <names...>: binds each name in the module namespace, in order.
template <std::size_t N>
[[nodiscard]] bool import_from(PyObject* module_name, const Names<N>& names, int level = 0,
                               Loc loc = Loc::current()) noexcept {
  Ref module = import_module(module_name, names.tuple(), level, loc);
  if (!module) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (!set_global(names[i], import_name(module, names[i], loc), loc)) return false;
  return true;
}

}  // namespace host
