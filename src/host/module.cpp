#include "host/module.hpp"

#include <cstdio>
#include <cstdlib>

#include "host/function.hpp"

namespace host {

namespace {

Record the_record;

int64_t current_interpreter() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

// The state of this layer is process-wide, so the module can only serve one interpreter.
bool check_single_interpreter() noexcept {
  const int64_t current = current_interpreter();
  if (the_record.interpreter == -1) {
    the_record.interpreter = current;
    return current != -1;
  }
  if (the_record.interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
  }
  return true;
}

// Copies module_spec.<attribute> into the module dict; a missing attribute is skipped.
void copy_from_spec(PyObject* module_spec, PyObject* dict, const char* attribute, const char* key, bool allow_none) {
  PyObject* value = PyObject_GetAttrString(module_spec, attribute);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return;
  }
  Ref owned = Ref::steal(value);
  if (allow_none || value != Py_None) check_status(PyDict_SetItemString(dict, key, value));
}

// Reads "major.minor" off the front of a version string such as Py_GetVersion()'s.
bool parse_version(const char* text, int& major, int& minor) noexcept {
  char* end = nullptr;
  long parsed_major = std::strtol(text, &end, 10);
  if (end == text || *end != '.') return false;
  const char* rest = end + 1;
  long parsed_minor = std::strtol(rest, &end, 10);
  if (end == rest) return false;
  major = static_cast<int>(parsed_major);
  minor = static_cast<int>(parsed_minor);
  return true;
}

// The version the module was built for: the headers it was compiled against, unless the
// build says otherwise (a test build that stands for another version).
#ifndef ZELMAR_BUILT_FOR_MAJOR
#define ZELMAR_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#define ZELMAR_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

// A RuntimeWarning when the running interpreter is not the one the module was built for.
// The running version comes from the interpreter itself, not from sys.version, which any
// code may reassign.
void check_version() {
  int major = 0, minor = 0;
  if (!parse_version(Py_GetVersion(), major, minor)) return;
  if (major == ZELMAR_BUILT_FOR_MAJOR && minor == ZELMAR_BUILT_FOR_MINOR) return;
  check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                ZELMAR_BUILT_FOR_MAJOR, ZELMAR_BUILT_FOR_MINOR, this_module.qualified_name,
                                "does not match", major, minor));
}

void register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* existing = PyDict_GetItemString(modules, this_module.qualified_name);
  if (existing == nullptr) check_status(PyDict_SetItemString(modules, this_module.qualified_name, module));
}

}  // namespace

Record& record() noexcept { return the_record; }

namespace {

// A name the module dict lacks: the builtins', or NameError.
Ref builtin_or_name_error(Borrowed name, Loc loc) noexcept {
  PyObject* value = PyDict_GetItemWithError(the_record.builtins, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return failure(loc);
  }
  return Ref::borrow(value);
}

}  // namespace

Ref global(Borrowed name, Loc loc) noexcept {
  PyObject* value = PyDict_GetItemWithError(the_record.globals, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return failure(loc);
  return builtin_or_name_error(name, loc);
}

PyObject* global_entry(const Name& name) noexcept { return kept_entry(the_record.globals, name, name.global_); }

Ref global(const Name& name, Loc loc) noexcept {
  PyObject* value = global_entry(name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return failure(loc);
  return builtin_or_name_error(Borrowed(name.get()), loc);
}

Ref builtin(Borrowed name, Loc loc) {
  PyObject* value = PyDict_GetItemWithError(the_record.builtins, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    fail(loc);
  }
  return Ref::borrow(value);
}

void bind(Borrowed name, Borrowed value, Loc loc) {
  check_status(PyDict_SetItem(the_record.globals, name, value), loc);
}

Ref import_module(PyObject* name, PyObject* fromlist, int level, Loc loc) {
  return check(PyImport_ImportModuleLevelObject(name, the_record.globals, nullptr, fromlist, level), loc);
}

Ref import_name(PyObject* module, PyObject* name, Loc loc) {
  PyObject* value = PyObject_GetAttr(module, name);
  if (value == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    fail(loc);
  }
  return Ref::steal(value);
}

PyModuleDef* module_definition() noexcept {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(create_module)},
      {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
      {0, nullptr},
  };
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, this_module.name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
  };
  return &definition;
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*) noexcept {
  if (!check_single_interpreter()) return nullptr;
  if (the_record.module != nullptr) return Ref::borrow(the_record.module).release();
  try {
    Ref name = check(PyObject_GetAttrString(module_spec, "name"));
    Ref module = check(PyModule_NewObject(name));
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) fail();
    copy_from_spec(module_spec, dict, "loader", "__loader__", true);
    copy_from_spec(module_spec, dict, "origin", "__file__", true);
    copy_from_spec(module_spec, dict, "parent", "__package__", true);
    copy_from_spec(module_spec, dict, "submodule_search_locations", "__path__", false);
    return module.release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

int exec_module(PyObject* module) noexcept {
  if (the_record.module != nullptr) {
    if (the_record.module == module) return 0;  // a reload: the classes stay as they are
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 this_module.name);
    return -1;
  }
  Ref init_name = Ref::steal(PyUnicode_FromFormat("init %s", this_module.qualified_name));
  if (init_name.get() == nullptr) return -1;
  the_record.module = Ref::borrow(module).release();
  the_record.globals = PyModule_GetDict(module);
  try {
    PyObject* builtins_module = PyImport_AddModule("builtins");  // borrowed
    if (builtins_module == nullptr) fail();
    Py_XSETREF(the_record.builtins, Ref::borrow(PyModule_GetDict(builtins_module)).release());
    check_status(PyDict_SetItemString(the_record.globals, "__builtins__", builtins_module));
    check_version();
    make_interned();
    register_in_sys_modules(module);
    this_module.load();
    this_module.body();
    return 0;
  } catch (const PythonError& e) {
    add_traceback(init_name, e.file, static_cast<int>(e.line));
  } catch (...) {
    translate_current_exception();
  }
  Py_CLEAR(the_record.module);
  the_record.globals = nullptr;
  return -1;
}

}  // namespace host
