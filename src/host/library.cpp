#include "host/library.hpp"

namespace host {

namespace {

PyObject* held(PyObject* o) noexcept {
  Py_XINCREF(o);  // for the life of the process: compared, never released
  return o;
}

// A value whose attributes are its dict's entries: a module of the exact module type.
bool plain_module(PyObject* o) noexcept { return o != nullptr && Py_TYPE(o) == &PyModule_Type; }

#if PY_VERSION_HEX >= 0x030C0000
// One dict watcher for the module, and the count of its calls: a verdict kept at one count
// holds while the count stays.
int dict_watcher = -1;
std::uint64_t generation = 1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++generation;
  return 0;
}
#endif

}  // namespace

void LibraryPremise::start_watching() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (dict_watcher < 0 && (dict_watcher = PyDict_AddWatcher(on_dict_event)) < 0) PyErr_Clear();
#endif
}

bool LibraryPremise::dicts_unchanged() const noexcept {
#if PY_VERSION_HEX < 0x030C0000
  for (std::size_t i = 0; i < dict_count_; ++i)
    if (reinterpret_cast<PyDictObject*>(dicts_[i])->ma_version_tag != versions_[i]) return false;
  return dict_count_ > 0 && versions_[0] != 0;
#else
  return generation_ == generation;
#endif
}

bool LibraryPremise::check_entries() const noexcept {
  if (!complete_ || entry_count_ == 0) return false;
  // What the dicts are before the lookups: a change that a lookup makes (a colliding key's
  // __eq__) is then seen by the next call.
#if PY_VERSION_HEX < 0x030C0000
  std::array<std::uint64_t, 8> before{};
  for (std::size_t i = 0; i < dict_count_; ++i) before[i] = reinterpret_cast<PyDictObject*>(dicts_[i])->ma_version_tag;
#else
  const std::uint64_t before = unwatched_ ? 0 : generation;
#endif
  for (std::size_t i = 0; i < entry_count_; ++i) {
    const Entry& e = entries_[i];
    PyObject* now = PyDict_GetItemWithError(e.dict, e.name);
    if (now != e.value) {
      PyErr_Clear();
      return false;
    }
    if (e.module && !plain_module(now)) return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  versions_ = before;
#else
  generation_ = before;
#endif
  return true;
}

void LibraryPremise::add_entry(PyObject* dict, PyObject* name, PyObject* value) noexcept {
  for (std::size_t i = 0; i < entry_count_; ++i)
    if (entries_[i].dict == dict && entries_[i].name == name) return;
  if (entry_count_ == entries_.size()) {
    complete_ = false;
    return;
  }
  entries_[entry_count_++] = {held(dict), held(name), held(value), value != nullptr && PyModule_Check(value)};
  for (std::size_t i = 0; i < dict_count_; ++i)
    if (dicts_[i] == dict) return;
  if (dict_count_ == dicts_.size()) {
    complete_ = false;
    return;
  }
  dicts_[dict_count_++] = dict;
#if PY_VERSION_HEX >= 0x030C0000
  if (dict_watcher < 0 || PyDict_Watch(dict_watcher, dict) < 0) {
    PyErr_Clear();
    unwatched_ = true;  // every call makes the full check
  }
#endif
}

void LibraryPremise::keep_entry(PyObject* dict, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr && PyErr_Occurred()) {
    PyErr_Clear();
    complete_ = false;
    return;
  }
  add_entry(dict, name, value);
}

void LibraryPremise::keep_attribute(PyObject* module, PyObject* name) noexcept {
  if (plain_module(module))
    keep_entry(PyModule_GetDict(module), name);
  else
    complete_ = false;  // its attributes are not its dict's entries alone
}

void LibraryPremise::keep_function(PyObject* function, int depth) noexcept {
  if (!PyFunction_Check(function)) {
    complete_ = false;  // a library function of another kind: no shortcut stands for it
    return;
  }
  for (std::size_t i = 0; i < function_count_; ++i)
    if (functions_[i].function == function) return;
  if (function_count_ == functions_.size()) {
    complete_ = false;
    return;
  }
  PyObject* code = PyFunction_GetCode(function);
  functions_[function_count_++] = {held(function), held(code), held(PyFunction_GetDefaults(function)),
                                   held(PyFunction_GetKwDefaults(function))};
  if (depth <= 0) return;
  PyObject* globals = PyFunction_GetGlobals(function);
  // The builtins a call of it falls back on: its globals' __builtins__, as at its creation.
  PyObject* builtins = PyDict_GetItemString(globals, "__builtins__");
  if (builtins != nullptr && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
  if (builtins == nullptr || !PyDict_Check(builtins)) {
    complete_ = false;
    return;
  }
  keep_names(code, globals, builtins, depth);
}

// Every name of the code and of the code objects nested in it: as the module's dict holds it,
// or else the builtins' (absent names too: adding one would shadow a builtin); modules and
// functions among them as the class says. For a module read through (builtins NULL), only
// the names it holds: the attributes a call may read from it.
void LibraryPremise::keep_names(PyObject* code, PyObject* globals, PyObject* builtins, int depth) noexcept {
  Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
  Ref constants = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
  if (!names || !constants || !PyTuple_Check(names.get()) || !PyTuple_Check(constants.get())) complete_ = false;
  for (Py_ssize_t i = 0; complete_ && i < PyTuple_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names.get(), i);
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr && PyErr_Occurred()) {
      complete_ = false;
      break;
    }
    if (value == nullptr && builtins == nullptr) continue;
    add_entry(globals, name, value);
    if (value == nullptr) keep_entry(builtins, name);
    else if (PyFunction_Check(value)) keep_function(value, depth - 1);
    else if (builtins != nullptr && plain_module(value)) keep_names(code, PyModule_GetDict(value), nullptr, depth);
  }
  for (Py_ssize_t i = 0; complete_ && builtins != nullptr && i < PyTuple_GET_SIZE(constants.get()); ++i) {
    PyObject* nested = PyTuple_GET_ITEM(constants.get(), i);
    if (PyCode_Check(nested)) keep_names(nested, globals, builtins, depth);
  }
  PyErr_Clear();
}

}  // namespace host
