// The module's process-wide record and lookups of module-level names.
#pragma once

#include <cstdint>

#include "host/error.hpp"
#include "host/names.hpp"

namespace host {

// One per process (each compiled module has its own copy of this layer).
struct Record {
  PyObject* module = nullptr;    // owned, once the module has executed
  PyObject* globals = nullptr;   // the module's dict, borrowed from the module
  PyObject* builtins = nullptr;  // the builtins module's dict, owned
  int64_t interpreter = -1;      // the one interpreter the module may live in
  bool finalized = false;        // that interpreter has been finalized: the module is gone
};

extern Record the_record;
inline Record& record() noexcept { return the_record; }

// A module-level name as a function body sees it: the module dict, then the builtins, looked
// up at every use, so that replacing a module attribute changes later calls. An empty Ref
// with NameError (its `name` set, as the interpreter sets it) when neither has it.
[[nodiscard]] Ref global(Borrowed name, Loc loc = Loc::current()) noexcept;

// A builtin as a function body sees it when the module dict lacks it; NameError when missing.
[[nodiscard]] Ref builtin(Borrowed name, Loc loc = Loc::current()) noexcept;

// Binds a module-level name (module body). False on failure, and for a value that is NULL
// because making it failed (the exception pending, its place noted).
[[nodiscard]] bool set_global(Borrowed name, Borrowed value, Loc loc = Loc::current()) noexcept;

}  // namespace host
