// The premise of the modules' three shortcuts: a standard-library function (re.search,
// textwrap.dedent, base64.b64encode) is still what it was when the module loaded, and so is
// everything a call of it reads from its module. docs/design.md has the table.
#pragma once

#include <array>
#include <cstdint>

#include "host/ref.hpp"

namespace host {

// What one call of a library function runs on, recorded when the module loads and compared
// by identity on every call, so that a shortcut computes the answer the function would give:
//
// - entries of dicts: the module global that names the library (the module's `re`), the
//   library module's attribute (re's `search`), and every name of the function's code (nested
//   code objects included) as its module's dict, or else the builtins, held it then; absent
//   names must stay absent. A name that held a module stands for the same names read from that
//   module (textwrap's `re` for `re.sub`), which must also stay a plain module;
// - functions met on the way: their code, defaults and keyword defaults; and, while depth is
//   left, what they read in turn (re.search reads re's `_compile`).
//
// What a library keeps inside its own objects (re's cache of compiled patterns) is its own
// business: a call of the unchanged function consults it the same way either way.
//
// Everything recorded is held for the life of the process, so the comparisons never follow a
// stale pointer. A premise that could not be recorded whole never holds.
//
// A full check is one dict lookup per entry: dedent alone reads some twenty names, at about 80
// instructions each. So the verdict is kept while none of the dicts it read has changed: up
// to 3.11 while each has the version tag it had before the check (every change of any dict
// takes a fresh tag from one counter that never goes back), from 3.12 until the dict watcher
// is called for one of them. The functions' code and defaults are compared on every call.
class LibraryPremise {
 public:
  // dict[name] as it is now (a module global, a module's attribute).
  void keep_entry(PyObject* dict, PyObject* name) noexcept;
  // A function's code and defaults and, while depth > 0, what it reads.
  void keep_function(PyObject* function, int depth) noexcept;
  // Whether every recorded entry and function is as recorded. A lookup can run a colliding
  // key's __eq__; a failed lookup is reported as "no" with nothing pending.
  bool holds() const noexcept {
    for (std::size_t i = 0; i < function_count_; ++i) {
      const Function& f = functions_[i];
      if (PyFunction_GetCode(f.function) != f.code || PyFunction_GetDefaults(f.function) != f.defaults ||
          PyFunction_GetKwDefaults(f.function) != f.kwdefaults)
        return false;
    }
    return dicts_unchanged() || check_entries();
  }

  // Registers the dict watcher (3.12+), once, when the module executes. Without a free slot
  // every call makes the full check.
  static void start_watching() noexcept;

 private:
  struct Entry {
    PyObject* dict;
    PyObject* name;
    PyObject* value;  // NULL: absent
    bool module;      // a module, whose attributes a call reads from its dict
  };
  struct Function {
    PyObject* function;
    PyObject* code;
    PyObject* defaults;    // NULL: none
    PyObject* kwdefaults;  // NULL: none
  };
  void add_entry(PyObject* dict, PyObject* name, PyObject* value) noexcept;
  bool dicts_unchanged() const noexcept;
  bool check_entries() const noexcept;  // the full check; keeps the verdict when it holds
  void keep_names(PyObject* code, PyObject* globals, PyObject* builtins, int depth) noexcept;

  bool complete_ = true;
  std::size_t entry_count_ = 0, function_count_ = 0, dict_count_ = 0;
  std::array<PyObject*, 8> dicts_{};  // the dicts the entries are read from
#if PY_VERSION_HEX < 0x030C0000
  mutable std::array<std::uint64_t, 8> versions_{};  // 0: no verdict kept
#else
  mutable std::uint64_t generation_ = 0;  // 0: no verdict kept
  bool unwatched_ = false;                 // a dict could not be watched: nothing is kept
#endif
  std::array<Entry, 96> entries_{};
  std::array<Function, 16> functions_{};
};

}  // namespace host
