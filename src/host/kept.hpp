// Answers kept between calls, and what keeps them exact: the one mechanism behind every
// shortcut of the modules (docs/design.md has the table of what rests on it).
//
// A kept answer is only ever the answer the interpreter itself would give now, because it is
// dropped by the interpreter's own bookkeeping the moment what it was read from changes:
//
// - Dict entries. Up to 3.11 every change of a dict takes a fresh version tag from one counter
//   of the whole interpreter that never goes back, so an entry read at one version is still the
//   entry while the dict has that version. From 3.12 the dicts read are watched.
// - Type lookups. Up to 3.11 nothing is kept: _PyType_Lookup() every time, which the
//   interpreter's method cache makes cheap and keeps exact (version tags are reused on 3.10,
//   so a tag must never be paired with a kept pointer). From 3.12 a lookup on a pinned type (one
//   the module holds for the life of the process) is kept; the type is watched, and so are the
//   dicts along its MRO (a type watcher hears of a change only once the dict has changed).
// - From 3.12 every watcher call (a watched dict about to change, or deallocated; a watched
//   type or a base of it changed) retires every kept answer at once: one count of events, noted
//   by each answer and compared on each use.
// - Library functions (re.search, textwrap.dedent, base64.b64encode): the function object and
//   its __code__, __defaults__ and __kwdefaults__ compared by identity on every call.
//
// A kept value is borrowed from what holds it (the dict, the type's MRO): use it, or take a
// reference, before anything that can run Python code.
#pragma once

#include <cstdint>

#include "host/ref.hpp"

namespace host {

#if PY_VERSION_HEX >= 0x030C0000
// The count of watcher calls so far (see kept.cpp): an answer kept at one count holds while
// the count stays.
extern std::uint64_t kept_generation;
#endif

// ---- dict entries ----

struct KeptEntry {
#if PY_VERSION_HEX < 0x030C0000
  std::uint64_t version = 0;
#else
  PyObject* dict = nullptr;  // compared, never followed
  std::uint64_t generation = 0;
#endif
  PyObject* value = nullptr;
};

// The lookup behind kept_entry(), keeping what it finds.
PyObject* look_up_entry(PyObject* dict, PyObject* key, KeptEntry& kept) noexcept;

// dict[key] for an exact dict and an exact str key, borrowed: the kept entry while it holds,
// a lookup otherwise (kept when found). NULL when absent, or with an exception pending when
// comparing with another key of the dict failed. A lookup can run Python code (the __eq__ of a
// key with the same hash).
inline PyObject* kept_entry(PyObject* dict, PyObject* key, KeptEntry& kept) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (kept.generation == kept_generation && kept.dict == dict) return kept.value;
#else
  if (kept.value != nullptr && kept.version == reinterpret_cast<PyDictObject*>(dict)->ma_version_tag) return kept.value;
#endif
  return look_up_entry(dict, key, kept);
}

// ---- type lookups ----

struct KeptLookup {
#if PY_VERSION_HEX >= 0x030C0000
  PyTypeObject* type = nullptr;  // a pinned type
  std::uint64_t generation = 0;
  PyObject* value = nullptr;
#endif
};

// The lookup behind type_lookup(), keeping what it finds on a pinned type.
PyObject* look_up_type(PyTypeObject* type, PyObject* name, KeptLookup& kept) noexcept;

// What the type's MRO holds under name (borrowed; NULL when nothing), as _PyType_Lookup()
// gives it; kept on a pinned type from 3.12. The lookup can run Python code (a non-str key's
// __eq__ in a class dict), as the interpreter's own attribute lookups can.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name, KeptLookup& kept) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (kept.generation == kept_generation && kept.type == type) return kept.value;
  return look_up_type(type, name, kept);
#else
  (void)kept;
  return _PyType_Lookup(type, name);
#endif
}

// Holds a type for the life of the process and, from 3.12, watches it so that lookups on it
// can be kept. Never fails: a type that cannot be watched is looked up every time.
void pin_type(PyObject* type) noexcept;

// ---- library functions ----

// A function of the standard library as the module imported it. same() holds while the
// candidate is that function object with the code and defaults it had then: what a call of
// it runs. (Its globals and closure cannot be reassigned.)
class LibraryFunction {
 public:
  // At load time; a callable that is not a Python function is never the same.
  void keep(PyObject* function) noexcept;
  bool same(PyObject* candidate) const noexcept {
    if (candidate != function_ || function_ == nullptr) return false;
    auto* f = reinterpret_cast<PyFunctionObject*>(candidate);
    return f->func_code == code_ && f->func_defaults == defaults_ && f->func_kwdefaults == kwdefaults_;
  }

 private:
  PyObject* function_ = nullptr;  // these four held for the life of the process
  PyObject* code_ = nullptr;
  PyObject* defaults_ = nullptr;
  PyObject* kwdefaults_ = nullptr;
};

// Registers the watchers (3.12+), once, when the module executes. Never fails: without a
// watcher slot nothing is kept.
void start_watching() noexcept;

}  // namespace host
