#include "host/function.hpp"

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>
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
  format_error(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               error_name(f), more_or_less, expected, expected == 1 ? "" : "s", given);
  return false;
}

bool keyword_only_missing(const Function* f, PyObject* name) noexcept {
  format_error(PyExc_TypeError, "%s() needs keyword-only argument %U", error_name(f), name);
  return false;
}

// Which parameter each keyword names, found as the interpreter finds it: the parameter that
// is the keyword itself, else the first one equal to it (a str subclass's own __eq__ runs).
// Each keyword binds one parameter at most; kUnnamed for none. Room for the usual number of
// keywords is kept in place, more is allocated.
class KeywordTargets {
 public:
  static constexpr Py_ssize_t kUnnamed = -1, kBound = -2;
  KeywordTargets() = default;
  KeywordTargets(const KeywordTargets&) = delete;
  KeywordTargets& operator=(const KeywordTargets&) = delete;
  ~KeywordTargets() {
    if (targets_ != local_.data()) PyMem_Free(targets_);
  }

  // False with the exception pending (no memory, or an __eq__ that raised).
  bool find(const Function* f, PyObject* kwnames) noexcept {
    count_ = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (count_ > static_cast<Py_ssize_t>(local_.size()) && (targets_ = PyMem_New(Py_ssize_t, count_)) == nullptr) {
      targets_ = local_.data();
      PyErr_NoMemory();
      return false;
    }
    const Py_ssize_t total = f->argcount + f->kwonlycount;
    for (Py_ssize_t k = 0; k < count_; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t& target = targets_[k] = kUnnamed;
      for (Py_ssize_t i = 0; i < total && target == kUnnamed; ++i)
        if (parameter(f, i) == keyword) target = i;
      for (Py_ssize_t i = 0; i < total && target == kUnnamed && PyUnicode_Check(keyword); ++i) {
        const int equal = PyObject_RichCompareBool(keyword, parameter(f, i), Py_EQ);
        if (equal < 0) return false;
        if (equal) target = i;
      }
    }
    return true;
  }
  Py_ssize_t count() const noexcept { return count_; }
  Py_ssize_t operator[](Py_ssize_t k) const noexcept { return targets_[k]; }
  // The first keyword naming parameter i, now bound to it; -1 when none does.
  Py_ssize_t take(Py_ssize_t i) noexcept {
    for (Py_ssize_t k = 0; k < count_; ++k)
      if (targets_[k] == i) {
        targets_[k] = kBound;
        return k;
      }
    return -1;
  }

 private:
  std::array<Py_ssize_t, max_parameters> local_;
  Py_ssize_t* targets_ = local_.data();
  Py_ssize_t count_ = 0;
};

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

// Keywords left over once every parameter had its chance: the first one is refused, as a
// keyword that is not a str, that names a parameter given already, or that names none.
bool refuse_leftover_keyword(const Function* f, PyObject* kwnames, const KeywordTargets& targets) noexcept {
  for (Py_ssize_t k = 0; k < targets.count(); ++k) {
    if (targets[k] == KeywordTargets::kBound) continue;
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key))
      format_error(PyExc_TypeError, "%.200s() keywords must be strings", error_name(f));
    else if (targets[k] >= 0)
      format_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", error_name(f), key);
    else
      format_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", error_name(f), key);
    return false;
  }
  return true;
}

bool bind_arguments(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
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
  KeywordTargets targets;
  if (!targets.find(f, kwnames)) return false;
  Py_ssize_t left = targets.count();
  for (Py_ssize_t i = nargs; i < P; ++i) {
    const Py_ssize_t k = targets.take(i);
    if (k >= 0) {
      values[i] = kwvalues[k];
      --left;
    } else if (i < R) {
      // A required positional parameter missing: counted as the arguments found so far.
      return positional_count_error(f, R, i);
    } else {
      values[i] = PyTuple_GET_ITEM(held.positional, i - first);
    }
  }
  for (Py_ssize_t j = P; j < P + K; ++j) {
    const Py_ssize_t k = targets.take(j);
    if (k >= 0) {
      values[j] = kwvalues[k];
      --left;
      continue;
    }
    if (!keyword_default(parameter(f, j), held, values[j])) return false;
    if (values[j] == nullptr) return keyword_only_missing(f, parameter(f, j));
  }
  return left == 0 || refuse_leftover_keyword(f, kwnames, targets);
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
    if (!PyErr_Occurred()) set_error(PyExc_SystemError, "error return without exception set");
    leave_with_traceback(f, where);
  }
  return result;
}

// ---- the C stack ----

// Room kept below a compiled call for what may run before the next one checks: the
// interpreter's own calls between them (a Python frame too, up to 3.10), and raising and
// reporting RecursionError. A sanitizer build's frames carry redzones: it keeps more.
#ifdef __SANITIZE_ADDRESS__
constexpr std::uintptr_t stack_margin = 48 << 10;
#else
constexpr std::uintptr_t stack_margin = 16 << 10;
#endif

// The first versions of these two, which every later C library keeps: their default versions
// (GLIBC_2.32, 2.34) are newer than the oldest one the wheels install on (2.17).
#if defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

// The lowest address of this thread's stack, read once per thread; 0 until then, and an
// address no frame is near when it cannot be read (no check is made then). Read on every
// call, so in the static TLS block (8 bytes of the C library's reserve for loaded libraries):
// one load, where the dynamic model calls __tls_get_addr.
[[gnu::tls_model("initial-exec")]] thread_local std::uintptr_t stack_low = 0;

[[gnu::noinline, gnu::cold]] void read_stack_bounds() noexcept {
  stack_low = UINTPTR_MAX;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr)
    stack_low = reinterpret_cast<std::uintptr_t>(low);
  pthread_attr_destroy(&attributes);
}

// Whether the thread's stack still has the margin below this frame. A frame on another
// stack (a coroutine library's, say) is far from the thread's low end and passes.
[[gnu::always_inline]] inline bool stack_left() noexcept {
  if (stack_low == 0) read_stack_bounds();
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - stack_low >= stack_margin;
}

// Runs the body over arguments already bound, counted as one frame of recursion.
[[gnu::always_inline]] inline PyObject* call_bound(Function* f, PyObject* const* bound) noexcept {
  // A cycle through compiled members (a subclass pointing one member at another) must end in
  // RecursionError where a cycle of Python functions would, and never overrun the C stack,
  // which each turn of it uses (a cycle of Python functions does not, from 3.11). So each call
  // checks the C stack left, and counts as a Python frame: up to 3.11 the interpreter's guard
  // counts against the recursion limit; from 3.12 that guard counts C calls against a fixed
  // limit of its own, so the Python count is kept here instead.
  if (!stack_left()) {
    set_error(PyExc_RecursionError, "maximum recursion depth exceeded");
    return nullptr;
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyThreadState* thread = PyThreadState_Get();
  if (thread->py_recursion_remaining <= 0) {
    set_error(PyExc_RecursionError, "maximum recursion depth exceeded");
    return nullptr;
  }
  --thread->py_recursion_remaining;
  PyObject* result = run(f, bound);
  ++thread->py_recursion_remaining;
#else
  if (Py_EnterRecursiveCall("")) return nullptr;
  PyObject* result = run(f, bound);
  Py_LeaveRecursiveCall();
#endif
  return result;
}

// Every parameter given, the keywords being the parameters' own names in another order: each
// placed where the interpreter's first pass (identity) puts it. False for any other call.
bool bound_by_name(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** values) noexcept {
  const Py_ssize_t total = f->argcount + f->kwonlycount;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nargs > f->argcount || nargs + nkw != total) return false;
  for (Py_ssize_t i = 0; i < total; ++i) values[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = nargs;
    while (i < total && parameter(f, i) != keyword) ++i;
    if (i == total || values[i] != nullptr) return false;
    values[i] = args[nargs + k];
  }
  return true;
}

// A call whose arguments need binding. Apart, so that the room binding takes is on the stack
// only for such calls, not in every frame of a deep cycle.
[[gnu::noinline]] PyObject* bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
  std::array<PyObject*, max_parameters> values;
  if (bound_by_name(f, args, nargs, kwnames, values.data())) return call_bound(f, values.data());
  HeldDefaults held;
  if (!bind_arguments(f, args, nargs, kwnames, values.data(), held)) {
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

// Breaks cycles: drops what may refer back to the function. A cleared __kwdefaults__ binds as
// none and a cleared cell as an empty one; the parameters, names and defaults that binding and
// argument errors read stay until deallocation.
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
    set_error(PyExc_TypeError, f.refused);
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
// an empty code object and replace() works the same on every supported CPython.
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
    format_error(PyExc_SystemError, "bad function description for %s", fn.name);
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
    set_error(PyExc_RuntimeError, "super(): empty __class__ cell");
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
