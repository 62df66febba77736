// Classes built the way a class statement builds them.
#pragma once

#include <initializer_list>

#include "host/function.hpp"

namespace host {

// One class statement: the metaclass is worked out from the bases and its __prepare__
// gives the namespace, which starts with __module__ and __qualname__; members are added in
// order, and create() calls the metaclass. Decorators are applied by the caller afterwards.
//
// The first step that fails is remembered (its exception pending, its place noted) and the
// later ones do nothing, so that a class reads as its statement does; create() then gives an
// empty Ref.
class ClassBuilder {
 public:
  explicit ClassBuilder(PyObject* name, std::initializer_list<PyObject*> bases = {},
                        Loc loc = Loc::current()) noexcept;

  void add(Borrowed key, Borrowed value, Loc loc = Loc::current()) noexcept;
  void doc(const char* text, Loc loc = Loc::current()) noexcept;

  // Function members; the function's __qualname__ is "<class>.<name>".
  void method(const FunctionDef& fn) noexcept;
  void property(const FunctionDef& fn) noexcept;      // wrapped by the builtin property
  void classmethod(const FunctionDef& fn) noexcept;   // wrapped by classmethod
  void staticmethod(const FunctionDef& fn) noexcept;  // wrapped by the builtin staticmethod

  [[nodiscard]] Ref create(Loc loc = Loc::current()) noexcept;

 private:
  // Whether the steps so far succeeded; false (and the place noted) once one has failed.
  bool step(bool ok, Loc loc) noexcept;
  Ref function(const FunctionDef& fn) noexcept;
  void add_member(const FunctionDef& fn, Ref value) noexcept;

  bool ok_ = true;
  Ref name_, bases_, metaclass_, namespace_, module_name_, cell_;
};

// Calls of a class made by `type` whose __init__ is a module function: while the class's
// metaclass is still `type`, its __new__ object's, its __init__ that function and it is not
// abstract (checked on every call), the instance is allocated and the function called with
// it directly, as type.__call__ would, without the generic call's argument tuple and dict.
// Anything else goes through the metaclass's __call__. Subclasses are not affected: the
// interpreter does not pass a class's own call slot on to them. Pins the class (kept.hpp).
[[nodiscard]] bool construct_directly(PyObject* cls, Loc loc = Loc::current()) noexcept;

}  // namespace host
