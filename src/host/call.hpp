// Attribute and item access, calls and new containers for function bodies. Each helper
// returns an empty Ref (or false, or -1) on failure, with the exception pending and the
// caller's source line noted for the traceback entry; nothing here throws.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "host/error.hpp"
#include "host/names.hpp"

namespace host {

// A new reference from the C API, noting the place when it is NULL.
inline Ref result(PyObject* r, Loc loc) noexcept {
  if (r == nullptr) note(loc);
  return Ref::steal(r);
}
inline bool status(int s, Loc loc) noexcept {
  if (s < 0) note(loc);
  return s >= 0;
}

[[nodiscard]] inline Ref getattr(Borrowed o, Borrowed name) noexcept { return result(PyObject_GetAttr(o.get(), name), o.loc()); }

[[nodiscard]] inline bool setattr(Borrowed o, Borrowed name, Borrowed value) noexcept {
  return status(PyObject_SetAttr(o.get(), name, value), o.loc());
}

// The same for one of the module's names: an interned exact str, which PyObject_SetAttr would
// only hand on to the type's setattr.
[[nodiscard]] inline bool setattr(Borrowed o, const Name& name, Borrowed value) noexcept {
  const setattrofunc set = Py_TYPE(o.get())->tp_setattro;
  return set != nullptr ? status(set(o.get(), name, value), o.loc()) : setattr(o, Borrowed(name.get()), value);
}

[[nodiscard]] inline Ref getitem(Borrowed o, Borrowed key) noexcept { return result(PyObject_GetItem(o.get(), key), o.loc()); }

[[nodiscard]] inline bool setitem(Borrowed o, Borrowed key, Borrowed value) noexcept {
  return status(PyObject_SetItem(o.get(), key, value), o.loc());
}

// iter(o), and next() on it: 1 with an item, 0 at the end, -1 on failure.
[[nodiscard]] inline Ref iterate(Borrowed o) noexcept { return result(PyObject_GetIter(o.get()), o.loc()); }

[[nodiscard]] inline int next(const Ref& iterator, Ref& item, Loc loc = Loc::current()) noexcept {
  item = Ref::steal(PyIter_Next(iterator));
  if (item.get() != nullptr) return 1;
  if (PyErr_Occurred()) {
    note(loc);
    return -1;
  }
  return 0;
}

// Python's truth test, `if x:`: 1 or 0, -1 on failure.
[[nodiscard]] inline int truthy(Borrowed o) noexcept {
  if (o.get() == Py_None || o.get() == Py_False) return 0;
  if (o.get() == Py_True) return 1;
  const int t = PyObject_IsTrue(o.get());
  if (t < 0) note(o.loc());
  return t;
}

// f(*args)
template <class... A>
[[nodiscard]] Ref call(Borrowed f, const A&... args) noexcept {
  PyObject* stack[] = {nullptr, Borrowed(args).get()...};
  return result(PyObject_Vectorcall(f.get(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                f.loc());
}

// f(*positional, **keywords): the last kw.size arguments go by the names of kw, in order.
template <std::size_t K, class... A>
[[nodiscard]] Ref call_kw(Borrowed f, const Names<K>& kw, const A&... args) noexcept {
  static_assert(sizeof...(A) >= K, "a value for every keyword");
  PyObject* stack[] = {nullptr, Borrowed(args).get()...};
  return result(PyObject_Vectorcall(f.get(), stack + 1, (sizeof...(A) - K) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kw.tuple()),
                f.loc());
}

// self.name(*args), without creating a bound method where the interpreter can avoid it.
template <class... A>
[[nodiscard]] Ref call_method(Borrowed self, Borrowed name, const A&... args) noexcept {
  PyObject* stack[] = {self.get(), Borrowed(args).get()...};
  return result(
      PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
      self.loc());
}

// self.name(*positional, **keywords), keywords as in call_kw.
template <std::size_t K, class... A>
[[nodiscard]] Ref call_method_kw(Borrowed self, Borrowed name, const Names<K>& kw, const A&... args) noexcept {
  static_assert(sizeof...(A) >= K, "a value for every keyword");
  PyObject* stack[] = {self.get(), Borrowed(args).get()...};
  return result(PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1 - K) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kw.tuple()),
                self.loc());
}

// New empty containers.
[[nodiscard]] inline Ref new_dict(Loc loc = Loc::current()) noexcept { return result(PyDict_New(), loc); }
[[nodiscard]] inline Ref new_list(Loc loc = Loc::current()) noexcept { return result(PyList_New(0), loc); }

// {k0: v0, k1: v1, ...} for interned str keys, in order.
template <class... KV>
[[nodiscard]] Ref dict_of(Loc loc, const KV&... kv) noexcept {
  static_assert(sizeof...(KV) % 2 == 0, "keys and values");
  PyObject* items[] = {Borrowed(kv).get()...};
  Ref d = new_dict(loc);
  if (!d) return {};
  for (std::size_t i = 0; i < sizeof...(KV); i += 2) {
    if (PyDict_SetItem(d, items[i], items[i + 1]) < 0) return failure(loc);
  }
  return d;
}

}  // namespace host
