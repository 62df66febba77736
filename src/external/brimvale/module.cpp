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

bool load() noexcept {
  Ref property = builtin(n::property), staticmethod = builtin(n::staticmethod);
  constants.zero = PyLong_FromLong(0);
  constants.one = PyLong_FromLong(1);
  constants.ten = PyLong_FromLong(10);
  constants.five_hundred = PyLong_FromLong(500);
  constants.empty = PyUnicode_New(0, 0);
  if (!property || !staticmethod || !constants.zero || !constants.one || !constants.ten || !constants.five_hundred ||
      !constants.empty)
    return static_cast<bool>(failure());
  record().property = property.release();
  record().staticmethod = staticmethod.release();
  return true;
}

bool body() noexcept {
  if (!bind(n::dataclasses, import_module(n::dataclasses))) return false;
  Ref re = import_module(n::re);
  if (!bind(n::re, re)) return false;
  constants.std_re = re.new_ref();
  constants.std_re_dict = Ref::borrow(PyModule_GetDict(re)).release();
  Ref search = import_name(re, n::search);
  if (!search) return false;
  constants.std_search.keep(search);
  if (!import_from(n::textwrap, n::from_textwrap)) return false;
  Ref dedent = global(n::dedent);
  if (!dedent) return false;
  constants.std_dedent.keep(dedent);
  if (!import_from(n::requests_exceptions, n::from_requests_exceptions) || !import_from(n::typing, n::from_typing) ||
      !import_from(n::core, n::from_core, 2))
    return false;
  // The SDK class that holds the session, as imported: every request reads its attribute.
  Ref context = global(n::_Context);
  if (!context) return false;
  pin_type(context);
  return bind(n::_BASE_URL, base_url) && define(n::BrimvaleFileVersion, make_file_version_class()) &&
         define(n::BrimvaleFile, make_file_class()) && define(n::_DataManagementAPI, make_data_management_class()) &&
         define(n::_AECDataModelAPI, make_aec_data_model_class()) && bind(n::__test__, new_dict());
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
