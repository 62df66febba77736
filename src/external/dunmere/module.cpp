// zelmar.external.dunmere: Dunmere stability analyses on an external worker.
#include "external/dunmere/dunmere.hpp"
#include "host/module.hpp"

namespace dunmere {

using namespace host;

Constants constants;

namespace {

bool load() noexcept {
  constants.one = PyLong_FromLong(1);
  constants.no_exception = PyTuple_Pack(2, n::empty.get(), Py_None);
  if (!constants.one || !constants.no_exception) return static_cast<bool>(failure());
  return true;
}

bool body() noexcept {
  if (!set_global(n::base64, import_module(n::base64)) || !import_from(n::io, n::from_io) ||
      !import_from(n::typing, n::from_typing) || !import_from(n::external_program, n::from_external_program, 1) ||
      !import_from(n::core, n::from_core, 2))
    return false;
  Ref all = new_list();
  if (!all || !status(PyList_Append(all, n::DunmereAnalysis), Loc::current()) || !set_global(n::__all__, all))
    return false;
  return set_global(n::DunmereAnalysis, make_analysis_class()) && set_global(n::__test__, new_dict());
}

}  // namespace

}  // namespace dunmere

const host::ModuleInfo host::this_module = {
    "dunmere",
    "zelmar.external.dunmere",
    dunmere::load,
    dunmere::body,
};

PyMODINIT_FUNC PyInit_dunmere() { return PyModuleDef_Init(host::module_definition()); }
