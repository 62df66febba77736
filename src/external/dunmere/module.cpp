// zelmar.external.dunmere: Dunmere stability analyses on an external worker.
#include "external/dunmere/dunmere.hpp"
#include "host/module.hpp"

namespace dunmere {

using namespace host;

Constants constants;

namespace {

void load() {
  record().super = builtin(n::super).release();
  constants.one = check(PyLong_FromLong(1)).release();
  constants.no_exception = check(PyTuple_Pack(2, n::empty.get(), Py_None)).release();
}

void body() {
  Ref base64 = import_module(n::base64);
  bind(n::base64, base64);
  Py_XSETREF(constants.std_base64, base64.new_ref());
  Py_XSETREF(constants.std_b64encode, import_name(base64, n::b64encode).release());
  import_from(n::io, n::from_io);
  import_from(n::typing, n::from_typing);
  import_from(n::external_program, n::from_external_program, 1);
  import_from(n::core, n::from_core, 2);
  Ref all = must(new_list());
  check_status(PyList_Append(all, n::DunmereAnalysis));
  bind(n::__all__, all);
  bind(n::DunmereAnalysis, make_analysis_class());
  bind(n::__test__, must(new_dict()));
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
