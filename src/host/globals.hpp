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
  // Builtins a module looks up once when it loads (those it needs; the others stay null).
  PyObject* property = nullptr;
  PyObject* staticmethod = nullptr;
  PyObject* super = nullptr;
};

extern Record the_record;
inline Record& record() noexcept { return the_record; }

// A module-level name as a function body sees it: the module dict, then the builtins,
// looked up at every use so that replacing a module attribute changes later calls. An
// empty Ref with NameError when neither has it.
[[nodiscard]] Ref global(Borrowed name, Loc loc = Loc::current()) noexcept;

// The module dict's entry for the name, borrowed, kept like global()'s answers; NULL when
// absent (see kept_entry()). For an identity check: take a reference to hold it.
inline PyObject* global_entry(const Name& name) noexcept {
  return kept_entry(the_record.globals, name, name.global_);
}

// A name the module dict lacks (or a failed look): the builtins', or NameError.
[[nodiscard]] Ref global_missing(const Name& name, Loc loc) noexcept;

// The same for one of the module's names, whose answer is kept while the module dict is
// unchanged (see kept.hpp).
[[nodiscard]] inline Ref global(const Name& name, Loc loc = Loc::current()) noexcept {
  PyObject* value = global_entry(name);
  return value != nullptr ? Ref::borrow(value) : global_missing(name, loc);
}

// A builtin, for the few the module looks up once when it loads; NameError when missing.
[[nodiscard]] Ref builtin(Borrowed name, Loc loc = Loc::current()) noexcept;

// Binds a module-level name (module body). False on failure, and for a value that is NULL
// because making it failed (the exception pending, its place noted).
[[nodiscard]] bool bind(Borrowed name, Borrowed value, Loc loc = Loc::current()) noexcept;

}  // namespace host
