#include "host/module.hpp"

#include "host/function.hpp"

namespace host {

namespace {

int64_t current_interpreter() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

// The state of this layer is process-wide, so the module can only serve one interpreter, and
// only while that interpreter lives: an embedding program that finalises the interpreter and
// starts another cannot load it again (its classes and constants went with the first one).
bool check_single_interpreter() noexcept {
  if (the_record.finalized) {
    format_error(PyExc_ImportError,
                 "Module '%s' cannot be loaded again in this process: the interpreter it was loaded "
                 "into has been finalized.",
                 this_module.qualified_name);
    return false;
  }
  const int64_t current = current_interpreter();
  if (the_record.interpreter == -1) {
    the_record.interpreter = current;
    return current != -1;
  }
  if (the_record.interpreter != current) {
    set_error(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
  }
  return true;
}

// Called once the interpreter has been finalized: what the record points to is gone. The
// module objects are not released, the interpreter that owned them no longer exists.
void forget_interpreter() noexcept {
  the_record = Record{};
  the_record.finalized = true;
}

// A run of decimal digits at text, as a number; false when there is none (or it is absurdly
// long). No strtol: with glibc 2.38 headers it becomes a symbol that newer wheels would need.
bool parse_number(const char*& text, int& number) noexcept {
  const char* start = text;
  number = 0;
  for (; *text >= '0' && *text <= '9' && text - start < 6; ++text) number = number * 10 + (*text - '0');
  return text != start && !(*text >= '0' && *text <= '9');
}

// Reads "major.minor" off the front of a version string such as Py_GetVersion()'s.
bool parse_version(const char* text, int& major, int& minor) noexcept {
  return parse_number(text, major) && *text++ == '.' && parse_number(text, minor);
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
bool check_version(Loc loc = Loc::current()) noexcept {
  int major = 0, minor = 0;
  if (!parse_version(Py_GetVersion(), major, minor)) return true;
  if (major == ZELMAR_BUILT_FOR_MAJOR && minor == ZELMAR_BUILT_FOR_MINOR) return true;
  return status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                 ZELMAR_BUILT_FOR_MAJOR, ZELMAR_BUILT_FOR_MINOR, this_module.qualified_name,
                                 "does not match", major, minor),
                loc);
}

bool register_in_sys_modules(PyObject* module, Loc loc = Loc::current()) noexcept {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* existing = PyDict_GetItemString(modules, this_module.qualified_name);
  return existing != nullptr || status(PyDict_SetItemString(modules, this_module.qualified_name, module), loc);
}

}  // namespace

Ref import_module(PyObject* name, PyObject* fromlist, int level, Loc loc) noexcept {
  return result(PyImport_ImportModuleLevelObject(name, the_record.globals, nullptr, fromlist, level), loc);
}

Ref import_name(Borrowed module, PyObject* name, Loc loc) noexcept {
  if (module.get() == nullptr) return {};
  Ref value = Ref::steal(PyObject_GetAttr(module, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    format_error(PyExc_ImportError, "cannot import name %S", name);
  }
  if (!value) note(loc);
  return value;
}

PyModuleDef* module_definition() noexcept {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(create_module)},
      {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
      // What is true today: the state of this layer is process-wide, one interpreter per process.
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
      // The process-wide state relies on the GIL: a free-threaded
      // interpreter turns it on when it imports the module, with its own warning.
      {Py_mod_gil, Py_MOD_GIL_USED},
#endif
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
  // A new module; the import system gives it __file__, __loader__, __package__ and __spec__.
  Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  return name ? PyModule_NewObject(name) : nullptr;
}

namespace {

bool exec_steps(PyObject* module) noexcept {
  PyObject* builtins_module = PyImport_AddModule("builtins");  // borrowed
  if (builtins_module == nullptr) return static_cast<bool>(failure());
  Py_XSETREF(the_record.builtins, Ref::borrow(PyModule_GetDict(builtins_module)).release());
  if (!status(PyDict_SetItemString(the_record.globals, "__builtins__", builtins_module), Loc::current()) ||
      !check_version())
    return false;
  if (!make_interned()) return static_cast<bool>(failure());
  return register_in_sys_modules(module) && this_module.load() && this_module.body();
}

}  // namespace

int exec_module(PyObject* module) noexcept {
  if (the_record.module != nullptr) {
    if (the_record.module == module) return 0;  // a reload: the classes stay as they are
    format_error(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 this_module.name);
    return -1;
  }
  Ref init_name = Ref::steal(PyUnicode_FromFormat("init %s", this_module.qualified_name));
  if (init_name.get() == nullptr) return -1;
  the_record.module = Ref::borrow(module).release();
  the_record.globals = PyModule_GetDict(module);
  take_noted();  // a place noted before belongs to no failure of the module body
  if (exec_steps(module)) {
    // Once per process: the module cannot be loaded into a later interpreter.
    if (Py_AtExit(forget_interpreter) < 0) PyErr_Clear();
    return 0;
  }
  const Where where = take_noted();
  if (!PyErr_Occurred()) set_error(PyExc_SystemError, "error return without exception set");
  if (where.file != nullptr) add_traceback(init_name, where.file, static_cast<int>(where.line));
  Py_CLEAR(the_record.module);
  the_record.globals = nullptr;
  return -1;
}

}  // namespace host
