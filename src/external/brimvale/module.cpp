// zelmar.external.brimvale: files on Brimvale cloud storage.
#include "external/brimvale/brimvale.hpp"
#include "host/module.hpp"

namespace brimvale {

using namespace host;

Constants constants;
Members members;

namespace {

// The platform's API host; the request paths are appended to it.
const Name base_url{"https://api.brimvale.example"};

void load() {
  record().property = builtin(n::property).release();
  record().staticmethod = builtin(n::staticmethod).release();
  constants.zero = check(PyLong_FromLong(0)).release();
  constants.one = check(PyLong_FromLong(1)).release();
  constants.ten = check(PyLong_FromLong(10)).release();
}

// Keeps a reference to what the module imported, for the identity checks of its native paths.
void keep(PyObject*& slot, const Ref& value) { Py_XSETREF(slot, value.new_ref()); }

void body() {
  bind(n::dataclasses, import_module(n::dataclasses));
  Ref re = import_module(n::re);
  bind(n::re, re);
  keep(constants.std_re, re);
  keep(constants.std_search, import_name(re, n::search));
  import_from(n::textwrap, n::from_textwrap);
  keep(constants.std_dedent, must(global(n::dedent)));
  import_from(n::requests_exceptions, n::from_requests_exceptions);
  import_from(n::typing, n::from_typing);
  import_from(n::core, n::from_core, 2);
  bind(n::_BASE_URL, base_url);
  bind(n::BrimvaleFileVersion, make_file_version_class());
  bind(n::BrimvaleFile, make_file_class());
  bind(n::_DataManagementAPI, make_data_management_class());
  bind(n::_AECDataModelAPI, make_aec_data_model_class());
  bind(n::__test__, must(new_dict()));
}

// A line break would end the header and the session would refuse it with a message that
// quotes the whole header, token included; a NUL cuts it short.
constexpr CharSet line_breaks_and_nul{"\r\n", true};

}  // namespace

Ref bearer_headers(PyObject* access_token, Loc loc) noexcept {
  Ref value = add(Obj(n::bearer, loc), access_token);
  if (!value) return {};
  // For a str token the header is "Bearer " and the token's own characters: only they
  // need reading. Anything else made a value of its own (a str subclass's __radd__).
  PyObject* added = PyUnicode_CheckExact(access_token) ? access_token : value.get();
  if (PyUnicode_Check(added) && has_any(added, line_breaks_and_nul))
    return raise(PyExc_ValueError, "Access token must not contain line breaks or NUL characters", loc);
  return dict_of(loc, n::Authorization, value);
}

Ref session(Loc loc) noexcept {
  Ref context = global(n::_Context, loc);
  if (!context) return {};
  return class_attr(Obj(context, loc), n::session_with_retries);
}

Ref checked_json(const Ref& response, Loc loc) noexcept {
  if (!response) return {};
  if (!call_method(Obj(response, loc), n::raise_for_status)) return {};
  return call_method(Obj(response, loc), n::json);
}

}  // namespace brimvale

const host::ModuleInfo host::this_module = {
    "brimvale",
    "zelmar.external.brimvale",
    brimvale::load,
    brimvale::body,
};

PyMODINIT_FUNC PyInit_brimvale() { return PyModuleDef_Init(host::module_definition()); }
