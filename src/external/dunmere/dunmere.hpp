// Pieces of zelmar.external.dunmere shared between its files.
#pragma once

#include "external/dunmere/names.hpp"
#include "host/call.hpp"
#include "host/classes.hpp"
#include "host/globals.hpp"
#include "host/library.hpp"

namespace dunmere {

// Made when the module loads.
struct Constants {
  PyObject* one = nullptr;           // the program version
  PyObject* no_exception = nullptr;  // ('', None): the error map's answer for other messages
  // What base64.b64encode runs on, as the module imported it (its module, binascii and
  // binascii's b2a_base64 among it): while it holds, the job content is encoded here.
  host::LibraryPremise b64encode;
};
extern Constants constants;

host::Ref make_analysis_class() noexcept;

}  // namespace dunmere
