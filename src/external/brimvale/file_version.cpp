// BrimvaleFileVersion: one version of a file, and the download of its content.
#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

namespace {

const char class_doc[] =
    " ::version(v14.25.0)\n"
    "\n"
    "    .. warning:: Do not instantiate this class directly, it is created from :class:`BrimvaleFile`.\n"
    "    ";

// self._data[key], with a KeyError turned into ValueError(message) from it.
Ref data_member(PyObject* self, PyObject* key, const char* message) {
  Ref data = instance_attr(self, n::_data);
  Ref value = data ? item(data, key) : Ref{};
  if (value) return value;
  Caught e;
  if (!e.matches(PyExc_KeyError)) return e.reraise();
  return e.raise_from(PyExc_ValueError, message);
}

Ref urn(const Args& a) { return data_member(a[0], n::id, "Could not obtain URN (id)"); }

Ref attributes(const Args& a) { return data_member(a[0], n::attributes, "Could not obtain attributes"); }

// None when any key on the way is missing; other lookup failures go to the caller.
Ref storage_url(const Args& a) {
  Ref value = instance_attr(a[0], n::_data);
  for (PyObject* key : {n::relationships.get(), n::storage.get(), n::meta.get(), n::link.get(), n::href.get()}) {
    if (!value) break;
    value = item(value, key);
  }
  if (value) return value;
  Caught e;
  if (!e.matches(PyExc_KeyError)) return e.reraise();
  return none();
}

// _DataManagementAPI.<extractor>(url), refused with `message` when it gives None.
Ref key_from(const Member& extractor, PyObject* name, PyObject* category, const Ref& url, const char* message) {
  Ref api = global(n::_DataManagementAPI);
  if (!api) return {};
  Ref key = extractor.resolves(api, name) ? extract_directly(api, extractor, category, url)
                                          : call_method(api, name, url);
  if (key.get() == Py_None) return raise(PyExc_ValueError, message);
  return key;
}

Ref get_file(const Args& a) {
  PyObject* self = a[0];
  Ref download_url = [&]() -> Ref {
    const Member& property = members.version_storage_url;
    Ref url = property.resolves_on(self, n::storage_url) ? invoke(property.function(), {self})
                                                          : getattr(self, n::storage_url);
    if (!url) return {};
    if (url.get() == Py_None) return raise(PyExc_ValueError, "Could not obtain storage URL");
    // While everything on the way is the module's own, the keys go from the storage URL
    // into the request's URL without strings of their own (nothing runs before the token
    // is read either way, so the order of what can be seen stays).
    KeySpans keys;
    Ref api, bucket_key, object_key;
    const bool in_place = keys_in_place(url, keys, api);
    if (!in_place) {
      bucket_key = key_from(members.extract_bucket_key, n::extract_bucket_key_from_url, n::buckets_category, url,
                            "Could not extract bucket_key from storage URL");
      if (!bucket_key) return {};
      object_key = key_from(members.extract_object_key, n::extract_object_key_from_url, n::objects_category, url,
                            "Could not extract object_key from storage URL");
      if (!object_key) return {};
      if (!(api = global(n::_DataManagementAPI))) return {};
    }
    const bool direct = in_place || members.get_signed_s3_url.resolves(api, n::get_signed_s3_url);
    Ref request = direct ? Ref{} : getattr(api, n::get_signed_s3_url);
    if (!direct && !request) return {};
    Ref token = instance_attr(self, n::_access_token);
    if (!token) return {};
    Ref response = in_place ? signed_s3_url_in_place(api, url, keys, token)
                   : direct ? invoke(members.get_signed_s3_url.function(), {api, bucket_key, object_key, token})
                            : call_kw(request, n::kw_signed_s3_url, bucket_key, object_key, token);
    if (!response) return {};
    return item(response, n::url);
  }();
  if (!download_url) {
    Caught e;
    Ref http_error = global(n::HTTPError);
    if (!http_error) return {};
    if (!e.matches(PyExc_ValueError, http_error, PyExc_KeyError)) return e.reraise();
    return e.raise_from(PyExc_ValueError,
                        "Request to get a short-lived download URL from Brimvale Platform Services failed");
  }
  // Outside the guard: the SDK's own download errors reach the caller as they are.
  Ref file = global(n::File);
  if (!file) return {};
  return call_method(file, n::from_url, download_url);
}

}  // namespace

Ref make_file_version_class() {
  Ref dataclass = must(getattr(must(global(n::dataclasses)), n::dataclass));  // the decorator comes first
  ClassBuilder c(n::BrimvaleFileVersion);
  c.doc(class_doc);
  Ref annotations = must(dict_of(Loc::current(), n::_access_token, check(PyUnicode_FromString("str")), n::_data,
                                 check(PyUnicode_FromString("dict"))));
  c.add(n::__annotations__, annotations);
  // The token stays out of the generated repr, so that logs and tracebacks do not show it.
  Ref field = must(getattr(must(global(n::dataclasses)), n::field));
  c.add(n::_access_token, must(call_kw(field, n::kw_repr, Py_False)));
  c.property({
      .name = "urn",
      .positional = {"self"},
      .annotations = {{"return", "str"}},
      .doc = " Get the unique resource name (also called \"id\") of this version of the file on Brimvale cloud storage. ",
      .impl = urn,
  });
  c.property({
      .name = "attributes",
      .positional = {"self"},
      .annotations = {{"return", "dict"}},
      .doc = " Get the attributes of this version of the file on Brimvale cloud storage. ",
      .impl = attributes,
  });
  c.property({
      .name = "storage_url",
      .positional = {"self"},
      .annotations = {{"return", "Optional[str]"}},
      .doc = " ::version(v14.26.0)\n\n        Get the storage URL of this version of the file.\n        ",
      .impl = storage_url,
  });
  c.method({
      .name = "get_file",
      .positional = {"self"},
      .annotations = {{"return", "File"}},
      .doc = " Download the content of this version of the file from Brimvale cloud storage. ",
      .impl = get_file,
  });
  Ref cls = must(call(dataclass, c.create()));
  members.version_storage_url.remember(cls, n::storage_url);
  // What a version is made with, for new_version() while nothing of it has changed.
  if (PyType_Check(cls.get())) {
    PyObject* init = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.get()), n::__init__);
    if (init != nullptr && PyFunction_Check(init)) {
      Py_XSETREF(constants.version_class, cls.new_ref());
      Py_XSETREF(constants.version_init, Ref::borrow(init).release());
      Py_XSETREF(constants.version_init_code, Ref::borrow(PyFunction_GET_CODE(init)).release());
    }
  }
  return cls;
}

// BrimvaleFileVersion(_access_token=token, _data=data). While the module global is still
// the class defined here, created by `type`, with object's __new__ and the __init__ the
// dataclass decorator generated (which only stores its two arguments), the instance is made
// and its two fields stored directly; otherwise the class is called as written.
Ref new_version(PyObject* token, PyObject* data) noexcept {
  Ref version_class = global(n::BrimvaleFileVersion);
  if (!version_class) return {};
  auto* type = reinterpret_cast<PyTypeObject*>(version_class.get());
  if (version_class.get() == constants.version_class && Py_TYPE(version_class.get()) == &PyType_Type &&
      type->tp_new == PyBaseObject_Type.tp_new && _PyType_Lookup(type, n::__init__) == constants.version_init &&
      PyFunction_GET_CODE(constants.version_init) == constants.version_init_code) {
    Ref no_arguments = result(PyTuple_New(0), Loc::current());
    if (!no_arguments) return {};
    Ref version = result(type->tp_new(type, no_arguments, nullptr), Loc::current());
    if (!version || !set_instance_attrs(version, {{n::_access_token, token}, {n::_data, data}})) return {};
    return version;
  }
  return call_kw(version_class, n::kw_file_version, token, data);
}

}  // namespace brimvale
