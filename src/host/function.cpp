#include "host/function.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <frameobject.h>

#include "host/call.hpp"
#include "host/globals.hpp"

namespace host {

namespace {

// A code object made for one (source file, line) of a function's traceback entries, kept
// for the next exception that leaves the function there, as compiled Python code keeps its
// code objects.
struct TracebackCode {
  const char* file;
  int line;
  PyObject* code;
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;
  Py_ssize_t argcount;     // positional-or-keyword parameters
  Py_ssize_t kwonlycount;  // keyword-only parameters
  PyObject* varnames;      // parameters, then locals
  PyObject* bare_name;     // the name argument errors use
  PyObject* traceback_name;
  const char* file;        // where the body is defined
  int line;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;      // tuple or NULL
  PyObject* kwdefaults;    // dict or NULL
  PyObject* annotations;   // dict
  PyObject* globals;
  PyObject* code;
  PyObject* dict;
  PyObject* cell;          // the defining class's cell, or NULL
  PyObject* weakrefs;
  std::array<TracebackCode, 4> tb_codes;  // the first places it failed at
  int tb_count;
};

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

PyObject* parameter(const Function* f, Py_ssize_t i) noexcept { return PyTuple_GET_ITEM(f->varnames, i); }

const char* error_name(const Function* f) noexcept {
  const char* name = PyUnicode_AsUTF8(f->bare_name);
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return name;
}

// ---- argument binding; the wordings and the order of the checks are fixed for callers ----

bool positional_count_error(const Function* f, Py_ssize_t required, Py_ssize_t given) noexcept {
  const bool exact = required == f->argcount;
  Py_ssize_t expected;
  const char* more_or_less;
  if (given < required) {
    expected = required;
    more_or_less = "at least";
  } else {
    expected = f->argcount;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               error_name(f), more_or_less, expected, expected == 1 ? "" : "s", given);
  return false;
}

bool keyword_only_missing(const Function* f, PyObject* name) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", error_name(f), name);
  return false;
}

// 1 when the keyword is this parameter's name (an interned str), 0 when not, -1 on error.
int same_name(PyObject* keyword, PyObject* name) noexcept {
  if (keyword == name) return 1;
  if (!PyUnicode_Check(keyword)) return 0;
  // An interned str equal to the name would be the name itself.
  if (PyUnicode_CheckExact(keyword) && PyUnicode_CHECK_INTERNED(keyword)) return 0;
  int cmp = PyUnicode_Compare(keyword, name);
  if (cmp == -1 && PyErr_Occurred()) return -1;
  return cmp == 0;
}

// The value passed for a parameter by keyword; NULL without error when none was.
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name, bool& failed) noexcept {
  const Py_ssize_t n = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k)  // names interned by the compiler match by identity
    if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
  for (Py_ssize_t k = 0; k < n; ++k) {
    const int same = same_name(PyTuple_GET_ITEM(kwnames, k), name);
    failed = same < 0;
    if (same != 0) return failed ? nullptr : kwvalues[k];
  }
  return nullptr;
}

// The defaults a call binds with, as __defaults__ and __kwdefaults__ are when it starts (both
// can be reassigned, as a Python function's can), held for the call: a change meanwhile
// cannot free them.
struct HeldDefaults {
  PyObject* positional = nullptr;  // the tuple, or NULL
  PyObject* keyword_dict = nullptr;  // the dict, or NULL
  std::array<PyObject*, max_parameters> keyword;
  std::size_t keyword_count = 0;
  HeldDefaults() = default;
  HeldDefaults(const HeldDefaults&) = delete;
  HeldDefaults& operator=(const HeldDefaults&) = delete;
  ~HeldDefaults() {
    Py_XDECREF(positional);
    Py_XDECREF(keyword_dict);
    for (std::size_t i = 0; i < keyword_count; ++i) Py_DECREF(keyword[i]);
  }
};

// The default of a keyword-only parameter, read from __kwdefaults__ at call time; null
// without an error when it has none.
bool keyword_default(PyObject* name, HeldDefaults& held, PyObject*& value) noexcept {
  value = nullptr;
  if (held.keyword_dict == nullptr) return true;
  value = PyDict_GetItemWithError(held.keyword_dict, name);  // can run a key's __eq__: held at once
  if (value == nullptr) return !PyErr_Occurred();
  Py_INCREF(value);
  held.keyword[held.keyword_count++] = value;
  return true;
}

// Keywords left over once every parameter had its chance: each must name a parameter not
// already given by position.
bool check_leftover_keywords(const Function* f, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t named = -1;  // the parameter the keyword names
    for (Py_ssize_t i = 0; i < f->argcount + f->kwonlycount && named < 0; ++i) {
      const int same = same_name(key, parameter(f, i));
      if (same < 0) return false;
      if (same) named = i;
    }
    if (named >= nargs) continue;
    if (!PyUnicode_Check(key))
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", error_name(f));
    else if (named >= 0)
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", error_name(f), key);
    else
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", error_name(f), key);
    return false;
  }
  return true;
}

bool bind(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, HeldDefaults& held) noexcept {
  held.positional = Ref::borrow(f->defaults).release();
  held.keyword_dict = Ref::borrow(f->kwdefaults).release();
  const Py_ssize_t P = f->argcount, K = f->kwonlycount;
  // Parameter i >= first takes defaults[i - first]: the defaults fill the last parameters.
  const Py_ssize_t first = P - (held.positional != nullptr ? PyTuple_GET_SIZE(held.positional) : 0);
  const Py_ssize_t R = first > 0 ? first : 0;
  if (nargs > P) return positional_count_error(f, R, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t left = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  bool failed = false;
  for (Py_ssize_t i = nargs; i < P; ++i) {
    PyObject* value = keyword_value(kwnames, kwvalues, parameter(f, i), failed);
    if (failed) return false;
    if (value != nullptr) {
      values[i] = value;
      --left;
    } else if (i < R) {
      // A required positional parameter missing: counted as the arguments found so far.
      return positional_count_error(f, R, i);
    } else {
      values[i] = PyTuple_GET_ITEM(held.positional, i - first);
    }
  }
  for (Py_ssize_t j = P; j < P + K; ++j) {
    PyObject* value = keyword_value(kwnames, kwvalues, parameter(f, j), failed);
    if (failed) return false;
    if (value != nullptr) {
      values[j] = value;
      --left;
      continue;
    }
    if (!keyword_default(parameter(f, j), held, values[j])) return false;
    if (values[j] == nullptr) return keyword_only_missing(f, parameter(f, j));
  }
  if (left > 0) return check_leftover_keywords(f, nargs, kwnames);
  return true;
}

// The code object of a traceback entry at file:line of this function (a new reference),
// made on first use and kept.
PyCodeObject* traceback_code(Function* f, const char* file, int line) noexcept {
  for (int i = 0; i < f->tb_count; ++i) {
    const TracebackCode& entry = f->tb_codes[i];
    if (entry.line == line && (entry.file == file || std::strcmp(entry.file, file) == 0))
      return reinterpret_cast<PyCodeObject*>(Ref::borrow(entry.code).release());
  }
  const char* name = PyUnicode_AsUTF8(f->traceback_name);
  if (name == nullptr) return nullptr;
  PyCodeObject* code = PyCode_NewEmpty(file, name, line);
  if (code == nullptr) return nullptr;
  if (f->tb_count < static_cast<int>(f->tb_codes.size()))
    f->tb_codes[f->tb_count++] = {file, line, Ref::borrow(reinterpret_cast<PyObject*>(code)).release()};
  return code;
}

// Adds to the pending exception a traceback entry over the code object that make() gives (a
// new reference), as the frame of a Python function would. Making it must not see the
// exception, and a failure to make it loses only the entry.
template <class Make>
void add_entry(PyObject* globals, Make make) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyCodeObject* code = make();
  PyFrameObject* frame =
      code != nullptr && globals != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  Py_XDECREF(code);
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (frame != nullptr) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

// The traceback entry of an exception leaving f at `where`, over its kept code object.
void leave_with_traceback(Function* f, Where where) noexcept {
  if (where.file == nullptr) where = {f->file, static_cast<unsigned>(f->line)};
  add_entry(f->globals != nullptr ? f->globals : record().globals,
            [&] { return traceback_code(f, where.file, static_cast<int>(where.line)); });
}

// Runs the body over bound arguments, adding the traceback entry of an exception that
// leaves it.
[[gnu::always_inline]] inline PyObject* run(Function* f, PyObject* const* values) noexcept {
  PyObject* result = f->impl(Args{values, reinterpret_cast<PyObject*>(f)}).release();
  if (result == nullptr) {
    const Where where = take_noted();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    leave_with_traceback(f, where);
  }
  return result;
}

// Runs the body over arguments already bound, counted as one frame of recursion.
[[gnu::always_inline]] inline PyObject* call_bound(Function* f, PyObject* const* bound) noexcept {
  // A cycle through compiled members (a subclass pointing one member at another) must end in
  // RecursionError at the depth a cycle of Python functions would, in any thread whose stack
  // holds that: each call counts as a Python frame. From 3.12 the interpreter's own guard
  // counts C calls against a larger limit of its own, so the Python count is kept here too.
#if PY_VERSION_HEX >= 0x030C0000
  PyThreadState* thread = PyThreadState_Get();
  if (thread->py_recursion_remaining <= 0) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return nullptr;
  }
  --thread->py_recursion_remaining;
#endif
  if (Py_EnterRecursiveCall("")) {
#if PY_VERSION_HEX >= 0x030C0000
    ++thread->py_recursion_remaining;
#endif
    return nullptr;
  }
  PyObject* result = run(f, bound);
  Py_LeaveRecursiveCall();
#if PY_VERSION_HEX >= 0x030C0000
  ++thread->py_recursion_remaining;
#endif
  return result;
}

// A call whose arguments need binding. Apart, so that the room binding takes is on the stack
// only for such calls, not in every frame of a deep cycle.
[[gnu::noinline]] PyObject* bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
  std::array<PyObject*, max_parameters> values;
  HeldDefaults held;
  if (!bind(f, args, nargs, kwnames, values.data(), held)) {
    leave_with_traceback(f, {});
    return nullptr;
  }
  return call_bound(f, values.data());
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
  Function* f = as_function(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // Every parameter given, by position and then by keyword in the order of the parameters
  // (names as interned by the compiler): the arguments are already bound, in order.
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  bool in_order = nargs <= f->argcount && nargs + nkw == f->argcount + f->kwonlycount;
  for (Py_ssize_t k = 0; k < nkw && in_order; ++k) in_order = PyTuple_GET_ITEM(kwnames, k) == parameter(f, nargs + k);
  return in_order ? call_bound(f, args) : bind_and_call(f, args, nargs, kwnames);
}

// ---- the type ----

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  // Like a Python function: from the class itself, the function; from an instance, a
  // bound method.
  if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Function* f = as_function(self);
  Py_VISIT(f->varnames);
  Py_VISIT(f->bare_name);
  Py_VISIT(f->traceback_name);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->dict);
  Py_VISIT(f->cell);
  return 0;
}

// Breaks cycles; what binding and error reports read stays until deallocation.
int function_clear(PyObject* self) noexcept {
  Function* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->cell);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  Function* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->varnames);
  Py_CLEAR(f->bare_name);
  Py_CLEAR(f->traceback_name);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->code);
  for (int i = 0; i < f->tb_count; ++i) Py_DECREF(f->tb_codes[i].code);
  PyObject_GC_Del(self);
}

// Attributes, with the rules of Python functions: each a field of the function, the type a
// value must have (None standing for "none" where the field may be empty), and the message
// of a value refused.
struct Field {
  std::size_t offset;
  PyTypeObject* type;       // NULL: any value
  bool may_be_empty;        // None (or del) empties it
  const char* refused;
};

PyObject*& slot(PyObject* self, const Field& f) noexcept {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + f.offset);
}

PyObject* get_field(PyObject* self, void* closure) noexcept {
  PyObject* value = slot(self, *static_cast<const Field*>(closure));
  return Ref::borrow(value != nullptr ? value : Py_None).release();
}

int set_field(PyObject* self, PyObject* value, void* closure) noexcept {
  const Field& f = *static_cast<const Field*>(closure);
  if (f.may_be_empty && value == Py_None && f.type != nullptr) value = nullptr;
  if ((value == nullptr && !f.may_be_empty) || (value != nullptr && f.type != nullptr && !PyObject_TypeCheck(value, f.type))) {
    PyErr_SetString(PyExc_TypeError, f.refused);
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(slot(self, f), value);
  return 0;
}

// __annotations__ is made empty on first read, as a Python function's is.
PyObject* get_annotations(PyObject* self, void* closure) noexcept {
  Function* f = as_function(self);
  if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return nullptr;
  return get_field(self, closure);
}

const Field name_field{offsetof(Function, name), &PyUnicode_Type, false, "__name__ must be set to a string object"};
const Field qualname_field{offsetof(Function, qualname), &PyUnicode_Type, false,
                           "__qualname__ must be set to a string object"};
const Field module_field{offsetof(Function, module), nullptr, true, nullptr};
const Field doc_field{offsetof(Function, doc), nullptr, true, nullptr};
const Field annotations_field{offsetof(Function, annotations), &PyDict_Type, true,
                              "__annotations__ must be set to a dict object"};
const Field defaults_field{offsetof(Function, defaults), &PyTuple_Type, true, "__defaults__ must be set to a tuple object"};
const Field kwdefaults_field{offsetof(Function, kwdefaults), &PyDict_Type, true,
                            "__kwdefaults__ must be set to a dict object"};
const Field globals_field{offsetof(Function, globals), nullptr, false, nullptr};
const Field code_field{offsetof(Function, code), nullptr, false, nullptr};

void* rule(const Field& f) noexcept { return const_cast<Field*>(&f); }

PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_field, nullptr, rule(name_field)},
    {"__qualname__", get_field, set_field, nullptr, rule(qualname_field)},
    {"__module__", get_field, set_field, nullptr, rule(module_field)},
    {"__doc__", get_field, set_field, nullptr, rule(doc_field)},
    {"__annotations__", get_annotations, set_field, nullptr, rule(annotations_field)},
    {"__defaults__", get_field, set_field, nullptr, rule(defaults_field)},
    {"__kwdefaults__", get_field, set_field, nullptr, rule(kwdefaults_field)},
    {"__globals__", get_field, nullptr, nullptr, rule(globals_field)},
    {"__code__", get_field, nullptr, nullptr, rule(code_field)},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference: module and qualified name, like a Python function.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  return Ref::borrow(as_function(self)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The function type, made ready on first use; NULL with the exception pending when that fails.
PyTypeObject* function_type() noexcept {
  static PyTypeObject type{};  // a static type: PyType_Ready fills in its own type
  if (type.tp_flags & Py_TPFLAGS_READY) return &type;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "compiled_function";
  type.tp_basicsize = sizeof(Function);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(Function, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_doc = "A function of a compiled module, introspectable like a Python function.";
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(Function, weakrefs);
  type.tp_methods = function_methods;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(Function, dict);
  return PyType_Ready(&type) < 0 ? nullptr : &type;
}

// A tuple of the texts, interned, in order, from each list in turn.
Ref interned_tuple(std::initializer_list<std::initializer_list<const char*>> lists) noexcept {
  Py_ssize_t size = 0;
  for (const auto& list : lists) size += static_cast<Py_ssize_t>(list.size());
  Ref tuple = Ref::steal(PyTuple_New(size));
  if (!tuple) return {};
  Py_ssize_t at = 0;
  for (const auto& list : lists) {
    for (const char* text : list) {
      PyObject* name = PyUnicode_InternFromString(text);
      if (name == nullptr) return {};
      PyTuple_SET_ITEM(tuple.get(), at++, name);
    }
  }
  return tuple;
}

// A code object that shows the function's name, parameters and locals. Building it from
// an empty code object and replace() works the same on CPython 3.10 to 3.13.
Ref make_code(const FunctionDef& fn, PyObject* name, PyObject* qualname, PyObject* varnames) noexcept {
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(fn.where.file_name(), fn.name, static_cast<int>(fn.where.line()))));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!empty || !kwargs) return {};
  auto set = [&](const char* key, Ref value) { return value && PyDict_SetItemString(kwargs, key, value) == 0; };
  if (!set("co_argcount", Ref::steal(PyLong_FromSize_t(fn.positional.size()))) ||
      !set("co_posonlyargcount", Ref::steal(PyLong_FromLong(0))) ||
      !set("co_kwonlyargcount", Ref::steal(PyLong_FromSize_t(fn.keyword_only.size()))) ||
      !set("co_nlocals", Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)))) ||
      !set("co_varnames", Ref::borrow(varnames)) ||
      !set("co_flags", Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS))) || !set("co_name", Ref::borrow(name)))
    return {};
#if PY_VERSION_HEX >= 0x030B0000
  if (!set("co_qualname", Ref::borrow(qualname))) return {};
#else
  (void)qualname;
#endif
  Ref replace = Ref::steal(PyObject_GetAttrString(empty, "replace"));
  Ref args = Ref::steal(PyTuple_New(0));
  if (!replace || !args) return {};
  return Ref::steal(PyObject_Call(replace, args, kwargs));
}

// A dict of interned names to values; empty lists give an empty dict.
template <class Value, class Convert>
Ref named_dict(std::initializer_list<std::pair<const char*, Value>> items, Convert convert) noexcept {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, value] : items) {
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    Ref converted = convert(value);
    if (!name || !converted || PyDict_SetItem(dict, name, converted) < 0) return {};
  }
  return dict;
}

Ref make_function_object(const FunctionDef& fn, PyObject* qualname, PyObject* module_name,
                         PyObject* class_cell) noexcept {
  PyTypeObject* type = function_type();
  if (type == nullptr) return {};
  const std::size_t nparams = fn.positional.size() + fn.keyword_only.size();
  if (nparams > max_parameters || fn.defaults.size() > fn.positional.size() || fn.impl == nullptr) {
    PyErr_Format(PyExc_SystemError, "bad function description for %s", fn.name);
    return {};
  }

  Ref name = Ref::steal(PyUnicode_InternFromString(fn.name));
  Ref varnames = interned_tuple({fn.positional, fn.keyword_only, fn.locals});
  if (!name || !varnames) return {};

  Ref defaults;
  if (fn.defaults.size() > 0) {
    defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fn.defaults.size())));
    if (!defaults) return {};
    Py_ssize_t i = 0;
    for (PyObject* value : fn.defaults) PyTuple_SET_ITEM(defaults.get(), i++, Ref::borrow(value).release());
  }
  Ref kwdefaults;
  if (fn.kwdefaults.size() > 0 && !(kwdefaults = named_dict(fn.kwdefaults, [](PyObject* v) { return Ref::borrow(v); })))
    return {};
  Ref annotations = named_dict(fn.annotations, [](const char* text) { return Ref::steal(PyUnicode_FromString(text)); });
  Ref doc = fn.doc != nullptr ? Ref::steal(PyUnicode_FromString(fn.doc)) : none();
  Ref traceback_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, qualname));
  if (!annotations || !doc || !traceback_name) return {};
  Ref code = make_code(fn, name, qualname, varnames);
  if (!code) return {};

  Function* f = PyObject_GC_New(Function, type);
  if (f == nullptr) return {};
  f->vectorcall = function_vectorcall;
  f->impl = fn.impl;
  f->argcount = static_cast<Py_ssize_t>(fn.positional.size());
  f->kwonlycount = static_cast<Py_ssize_t>(fn.keyword_only.size());
  f->varnames = varnames.release();
  f->bare_name = name.new_ref();
  f->traceback_name = traceback_name.release();
  f->file = fn.where.file_name();
  f->line = static_cast<int>(fn.where.line());
  f->name = name.release();
  f->qualname = Ref::borrow(qualname).release();
  f->module = Ref::borrow(module_name).release();
  f->doc = doc.release();
  f->defaults = defaults.release();
  f->kwdefaults = kwdefaults.release();
  f->annotations = annotations.release();
  f->globals = Ref::borrow(record().globals).release();
  f->code = code.release();
  f->dict = nullptr;
  f->cell = Ref::borrow(class_cell).release();
  f->weakrefs = nullptr;
  f->tb_count = 0;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

Ref make_function(const FunctionDef& fn, PyObject* qualname, PyObject* module_name, PyObject* class_cell) noexcept {
  Ref function = make_function_object(fn, qualname, module_name, class_cell);
  if (!function) note(fn.where);
  return function;
}

PyObject* defining_class(PyObject* function, Loc loc) noexcept {
  PyObject* cell = as_function(function)->cell;
  PyObject* cls = cell != nullptr ? PyCell_GET(cell) : nullptr;
  if (cls == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    note(loc);
  }
  return cls;
}

void add_traceback(PyObject* name, const char* file, int line) noexcept {
  add_entry(record().globals, [&] {
    const char* text = PyUnicode_AsUTF8(name);
    return text != nullptr ? PyCode_NewEmpty(file, text, line) : nullptr;
  });
}

}  // namespace host
