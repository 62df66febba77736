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
};
extern Constants constants;

host::Ref make_analysis_class() noexcept;

}  // namespace dunmere
