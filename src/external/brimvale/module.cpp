// zelmar.external.brimvale: files on Brimvale cloud storage.
#include "external/brimvale/brimvale.hpp"
#include "host/module.hpp"

namespace brimvale {

using namespace host;

Constants constants;

namespace {

// The platform's API host; the request paths are appended to it.
const Name base_url{"https://api.brimvale.example"};

bool load() noexcept {
  constants.zero = PyLong_FromLong(0);
  constants.one = PyLong_FromLong(1);
  constants.ten = PyLong_FromLong(10);
  constants.five_hundred = PyLong_FromLong(500);
  constants.empty = PyUnicode_New(0, 0);
  if (!constants.zero || !constants.one || !constants.ten || !constants.five_hundred || !constants.empty)
    return static_cast<bool>(failure());
  return true;
}

bool body() noexcept {
  return set_global(n::dataclasses, import_module(n::dataclasses)) && set_global(n::re, import_module(n::re)) &&
         import_from(n::textwrap, n::from_textwrap) &&
         import_from(n::requests_exceptions, n::from_requests_exceptions) && import_from(n::typing, n::from_typing) &&
         import_from(n::core, n::from_core, 2) && set_global(n::_BASE_URL, base_url) &&
         set_global(n::BrimvaleFileVersion, make_file_version_class()) &&
         set_global(n::BrimvaleFile, make_file_class()) &&
         set_global(n::_DataManagementAPI, make_data_management_class()) &&
         set_global(n::_AECDataModelAPI, make_aec_data_model_class()) && set_global(n::__test__, new_dict());
}

}  // namespace

}  // namespace brimvale

const host::ModuleInfo host::this_module = {
    "brimvale",
    "zelmar.external.brimvale",
    brimvale::load,
    brimvale::body,
};

PyMODINIT_FUNC PyInit_brimvale() { return PyModuleDef_Init(host::module_definition()); }
