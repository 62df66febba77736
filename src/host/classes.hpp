// Classes built the way a class statement builds them.
#pragma once

#include <initializer_list>

#include "host/function.hpp"

namespace host {

// One class statement: the metaclass is worked out from the bases and its __prepare__
// gives the namespace, which starts with __module__ and __qualname__; members are added in
// order, and create() calls the metaclass. Decorators are applied by the caller afterwards.
class ClassBuilder {
 public:
  explicit ClassBuilder(PyObject* name, std::initializer_list<PyObject*> bases = {},
                        Loc loc = Loc::current());

  void add(Borrowed key, Borrowed value, Loc loc = Loc::current());
  void doc(const char* text, Loc loc = Loc::current());

  // Function members; the function's __qualname__ is "<class>.<name>".
  void method(const FunctionDef& fn);
  void property(const FunctionDef& fn);      // wrapped by the builtin property
  void classmethod(const FunctionDef& fn);   // wrapped by classmethod
  void staticmethod(const FunctionDef& fn);  // wrapped by the builtin staticmethod

  Ref create(Loc loc = Loc::current());

 private:
  Ref function(const FunctionDef& fn);
  void add_member(const FunctionDef& fn, Ref value);

  Ref name_, bases_, metaclass_, namespace_, module_name_, cell_;
};

// Calls of a class made by `type` whose __init__ is a module function: while the class's
// metaclass is still `type`, its __new__ object's, its __init__ that function and it is not
// abstract (checked on every call), the instance is allocated and the function called with
// it directly, as type.__call__ would, without the generic call's argument tuple and dict.
// Anything else goes through the metaclass's __call__. Subclasses are not affected: the
// interpreter does not pass a class's own call slot on to them.
void construct_directly(PyObject* cls, Loc loc = Loc::current());

}  // namespace host
