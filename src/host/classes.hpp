// Classes built the way a class statement builds them.
#pragma once

#include <initializer_list>

#include "host/function.hpp"

namespace host {

// One class statement (with one base at most): the metaclass is the base's type and its __prepare__
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
  // Decorated by property, classmethod or staticmethod, found as the class body finds them.
  void property(const FunctionDef& fn) noexcept;
  void classmethod(const FunctionDef& fn) noexcept;
  void staticmethod(const FunctionDef& fn) noexcept;

  [[nodiscard]] Ref create(Loc loc = Loc::current()) noexcept;

 private:
  // Whether the steps so far succeeded; false (and the place noted) once one has failed.
  bool step(bool ok, Loc loc) noexcept;
  Ref function(const FunctionDef& fn) noexcept;
  void add_member(const FunctionDef& fn, Ref value) noexcept;
  void decorated(const FunctionDef& fn, const Name& decorator_name) noexcept;
  static const Name property_name, classmethod_name, staticmethod_name;

  bool ok_ = true;
  Ref name_, bases_, metaclass_, namespace_, module_name_, cell_;
};

}  // namespace host
