#include "host/kept.hpp"

namespace host {

#if PY_VERSION_HEX >= 0x030C0000
std::uint64_t kept_generation = 1;

namespace {

// One dict watcher and one type watcher for the module, and a count of the events they have
// seen: a kept answer notes the count it was read at, and holds while the count stays.
int dict_watcher = -1;
int type_watcher = -1;

// Called before a watched dict changes, and when it is deallocated.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++kept_generation;
  return 0;
}

// Called when a watched type, or a base of it, has been modified (its MRO included).
int on_type_change(PyTypeObject*) noexcept {
  ++kept_generation;
  return 0;
}

bool pinned(PyTypeObject* type) noexcept { return type_watcher >= 0 && (type->tp_watched & (1 << type_watcher)) != 0; }

// Watches the dicts along the type's MRO: the type watcher hears of a change only after the
// dict has changed (and the old value may be gone), the dict watcher before. Static types
// cannot change and have no dict of their own here.
bool watch_mro_dicts(PyTypeObject* type) noexcept {
  PyObject* mro = type->tp_mro;
  if (dict_watcher < 0 || mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if ((base->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) continue;
    if (base->tp_dict == nullptr || PyDict_Watch(dict_watcher, base->tp_dict) < 0) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

}  // namespace

void start_watching() noexcept {
  if (dict_watcher < 0 && (dict_watcher = PyDict_AddWatcher(on_dict_event)) < 0) PyErr_Clear();
  if (type_watcher < 0 && (type_watcher = PyType_AddWatcher(on_type_change)) < 0) PyErr_Clear();
}

PyObject* look_up_entry(PyObject* dict, PyObject* key, KeptEntry& kept) noexcept {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  // The count after the lookup: whatever the lookup ran has already retired older answers.
  if (value != nullptr && dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) == 0) kept = {dict, kept_generation, value};
  return value;
}

PyObject* look_up_type(PyTypeObject* type, PyObject* name, KeptLookup& kept) noexcept {
  PyObject* value = _PyType_Lookup(type, name);
  // Only a type with a valid version tag is reported when it changes.
  if (pinned(type) && type->tp_version_tag != 0 && watch_mro_dicts(type)) kept = {type, kept_generation, value};
  return value;
}

void pin_type(PyObject* type) noexcept {
  Py_INCREF(type);  // never released: the kept lookups compare its address
  if (type_watcher >= 0 && PyType_Check(type) && PyType_Watch(type_watcher, type) < 0) PyErr_Clear();
}

#else

void start_watching() noexcept {}

PyObject* look_up_entry(PyObject* dict, PyObject* key, KeptEntry& kept) noexcept {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  // The version after the lookup: a change the lookup made (a key's __eq__) is not kept.
  if (value != nullptr) kept = {reinterpret_cast<PyDictObject*>(dict)->ma_version_tag, value};
  return value;
}

void pin_type(PyObject* type) noexcept { Py_INCREF(type); }

#endif

void LibraryFunction::keep(PyObject* function) noexcept {
  if (!PyFunction_Check(function)) return;
  auto* f = reinterpret_cast<PyFunctionObject*>(function);
  Py_XSETREF(function_, Ref::borrow(function).release());
  Py_XSETREF(code_, Ref::borrow(f->func_code).release());
  Py_XSETREF(defaults_, Ref::borrow(f->func_defaults).release());
  Py_XSETREF(kwdefaults_, Ref::borrow(f->func_kwdefaults).release());
}

}  // namespace host
