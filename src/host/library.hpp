// The premise of the modules' three shortcuts: a standard-library function (re.search,
// textwrap.dedent, base64.b64encode) is what it was when the module loaded, and so is what a
// call of it reads.
#pragma once

#include <array>
#include <cstdint>

#include "host/ref.hpp"

namespace host {

// What one call of a library function runs on, recorded when the module loads and compared
// by identity: its code and defaults, and every name its code reads from its module or the
// builtins (absent ones too), through modules and functions met on the way while depth is left.
// The verdict is kept while none of the dicts read has changed: their version tags up to 3.11,
// a dict watcher from 3.12 (a full check is one lookup per name, some twenty for dedent). All
// recorded objects are held for the life of the process. docs/design.md says why this is the
// whole premise, and what is left to the library.
class LibraryPremise {
 public:
  // dict[name] as it is now (a module global, a module's attribute).
  void keep_entry(PyObject* dict, PyObject* name) noexcept;
  // module.name as it is now, for a plain module (whose attributes are its dict's entries);
  // for anything else the premise never holds.
  void keep_attribute(PyObject* module, PyObject* name) noexcept;
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
