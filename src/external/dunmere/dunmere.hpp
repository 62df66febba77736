// Pieces of zelmar.external.dunmere shared between its files.
#pragma once

#include "external/dunmere/names.hpp"
#include "host/call.hpp"
#include "host/classes.hpp"
#include "host/globals.hpp"

namespace dunmere {

// Made when the module loads.
struct Constants {
  PyObject* one = nullptr;           // the program version
  PyObject* no_exception = nullptr;  // ('', None): the error map's answer for other messages
  // The standard library's base64 module and its b64encode, as imported: while the module
  // globals still hold these, unchanged, the job content is encoded without calling them.
  PyObject* std_base64 = nullptr;
  host::LibraryFunction std_b64encode;
};
extern Constants constants;

host::Ref make_analysis_class() noexcept;

}  // namespace dunmere
