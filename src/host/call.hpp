// Attribute and item access, calls and string building that throw PythonError on failure.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "host/error.hpp"
#include "host/names.hpp"

namespace host {

// An object argument that remembers the caller's source line, so that a failure in the
// helper is reported at the line of the module code that asked for it.
struct Obj {
  PyObject* p;
  Loc loc;
  Obj(PyObject* p, Loc loc = Loc::current()) noexcept : p(p), loc(loc) {}
  Obj(const Ref& r, Loc loc = Loc::current()) noexcept : p(r.get()), loc(loc) {}
  Obj(const Name& n, Loc loc = Loc::current()) noexcept : p(n.get()), loc(loc) {}
  Obj(Borrowed b, Loc loc = Loc::current()) noexcept : p(b.get()), loc(loc) {}
};

inline PyObject* ptr(PyObject* p) noexcept { return p; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }
inline PyObject* ptr(const Name& n) noexcept { return n.get(); }

inline Ref getattr(Obj o, Borrowed name) { return check(PyObject_GetAttr(o.p, name), o.loc); }

// getattr(o, name, None), except that only AttributeError means "missing" (a null Ref).
inline Ref optional_attr(Obj o, Borrowed name) {
  PyObject* value = PyObject_GetAttr(o.p, name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail(o.loc);
    PyErr_Clear();
  }
  return Ref::steal(value);
}

inline void setattr(Obj o, Borrowed name, Borrowed value) {
  check_status(PyObject_SetAttr(o.p, name, value), o.loc);
}

inline Ref getitem(Obj o, Borrowed key) { return check(PyObject_GetItem(o.p, key), o.loc); }

inline void setitem(Obj o, Borrowed key, Borrowed value) {
  check_status(PyObject_SetItem(o.p, key, value), o.loc);
}

// iter(o), and next() on it: false at the end.
inline Ref iterate(Obj o) { return check(PyObject_GetIter(o.p), o.loc); }

inline bool next(const Ref& iterator, Ref& item, Loc loc = Loc::current()) {
  item = Ref::steal(PyIter_Next(iterator));
  if (item.get() != nullptr) return true;
  if (PyErr_Occurred()) fail(loc);
  return false;
}

// a, b, ... = o: exactly N items, or ValueError in the wording of compiled code.
template <std::size_t N>
std::array<Ref, N> unpack(Obj o);

// Python's truth test: `if x:`.
inline bool truthy(Obj o) { return check_status(PyObject_IsTrue(o.p), o.loc) != 0; }

// f(*args)
template <class... A>
Ref call(Obj f, const A&... args) {
  PyObject* stack[] = {nullptr, ptr(args)...};
  return check(PyObject_Vectorcall(f.p, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr),
               f.loc);
}

// f(*positional, **keywords): the last kw.size arguments go by the names of kw, in order.
template <std::size_t K, class... A>
Ref call_kw(Obj f, const Names<K>& kw, const A&... args) {
  static_assert(sizeof...(A) >= K, "a value for every keyword");
  PyObject* stack[] = {nullptr, ptr(args)...};
  return check(PyObject_Vectorcall(f.p, stack + 1,
                                   (sizeof...(A) - K) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple()),
               f.loc);
}

// self.name(*args), without creating a bound method where the interpreter can avoid it.
template <class... A>
Ref call_method(Obj self, Borrowed name, const A&... args) {
  PyObject* stack[] = {self.p, ptr(args)...};
  return check(PyObject_VectorcallMethod(name, stack,
                                         (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr),
               self.loc);
}

// self.name(*positional, **keywords), keywords as in call_kw.
template <std::size_t K, class... A>
Ref call_method_kw(Obj self, Borrowed name, const Names<K>& kw, const A&... args) {
  static_assert(sizeof...(A) >= K, "a value for every keyword");
  PyObject* stack[] = {self.p, ptr(args)...};
  return check(
      PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1 - K) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                kw.tuple()),
      self.loc);
}

// format(x, ""): the text an f-string inserts for {x}; a str comes back unchanged.
Ref format_text(Obj x);

// a + b with Python's rules (so a non-str operand raises the interpreter's TypeError).
inline Ref add(Obj a, Borrowed b) { return check(PyNumber_Add(a.p, b), a.loc); }

// The concatenation of str parts, as an f-string builds it.
Ref join(PyObject* const* parts, std::size_t count, Loc loc = Loc::current());
inline Ref join(std::initializer_list<PyObject*> parts, Loc loc = Loc::current()) {
  return join(parts.begin(), parts.size(), loc);
}

// A new empty dict, and a new dict from key/value pairs in order.
Ref new_dict(Loc loc = Loc::current());

// A new list.
inline Ref new_list(Loc loc = Loc::current()) { return check(PyList_New(0), loc); }

[[noreturn]] void raise_unpack_error(Py_ssize_t found, std::size_t expected, Loc loc);

template <std::size_t N>
std::array<Ref, N> unpack(Obj o) {
  std::array<Ref, N> items;
  if (PyTuple_CheckExact(o.p) || PyList_CheckExact(o.p)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(o.p);
    if (size != static_cast<Py_ssize_t>(N)) raise_unpack_error(size, N, o.loc);
    for (std::size_t i = 0; i < N; ++i) items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(o.p, i));
    return items;
  }
  Ref iterator = iterate(o);
  for (std::size_t i = 0; i < N; ++i) {
    if (!next(iterator, items[i], o.loc)) raise_unpack_error(static_cast<Py_ssize_t>(i), N, o.loc);
  }
  Ref extra;
  if (next(iterator, extra, o.loc)) raise_unpack_error(static_cast<Py_ssize_t>(N) + 1, N, o.loc);
  return items;
}

}  // namespace host
