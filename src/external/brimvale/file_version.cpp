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
  Ref data = getattr(self, n::_data);
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
  Ref value = getattr(a[0], n::_data);
  for (PyObject* key : {n::relationships.get(), n::storage.get(), n::meta.get(), n::link.get(), n::href.get()}) {
    if (!value) break;
    value = item(value, key);
  }
  if (value) return value;
  Caught e;
  if (!e.matches(PyExc_KeyError)) return e.reraise();
  return none();
}

// key = _DataManagementAPI.<extractor>(url), refused with `message` when it gives None.
bool find_key(PyObject* url, const Member& extractor, const Name& name, const Name& category, Key& key,
              const char* message, Loc loc = Loc::current()) noexcept {
  Ref api = global(n::_DataManagementAPI, loc);
  if (!api) return false;
  const int found = key_from_url(api, url, extractor, name, category, key, loc);
  if (found == 0) raise(PyExc_ValueError, message, loc);
  return found > 0;
}

Ref get_file(const Args& a) {
  PyObject* self = a[0];
  Ref download_url = [&]() -> Ref {
    const Member& property = members.version_storage_url;
    Ref url = property.resolves_on(self, n::storage_url) ? invoke(property.function(), {self})
                                                          : getattr(self, n::storage_url);
    if (!url) return {};
    if (url.get() == Py_None) return raise(PyExc_ValueError, "Could not obtain storage URL");
    // The keys go from the storage URL into the request without strs of their own while
    // everything on the way is the module's own; the module globals are looked up as often,
    // and in the same order, either way.
    Key bucket, object;
    if (!find_key(url, members.extract_bucket_key, n::extract_bucket_key_from_url, n::buckets_category, bucket,
                  "Could not extract bucket_key from storage URL") ||
        !find_key(url, members.extract_object_key, n::extract_object_key_from_url, n::objects_category, object,
                  "Could not extract object_key from storage URL"))
      return {};
    Ref api = global(n::_DataManagementAPI);
    if (!api) return {};
    static const Request request{members.get_signed_s3_url, n::get_signed_s3_url, n::kw_signed_s3_url.tuple(),
                                 n::OSS_BASE_URL};
    Callee callee{request};
    if (!callee.look_up(api)) return {};
    Ref token = getattr(self, n::_access_token);
    if (!token) return {};
    Ref response = callee.call(
        api, {{n::buckets_path}, bucket.piece(), {n::objects_path}, object.piece(), {n::signed_download_path}},
        {&bucket, &object}, token);
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

Ref make_file_version_class() noexcept {
  Ref dataclasses = global(n::dataclasses);
  Ref dataclass = dataclasses ? getattr(dataclasses, n::dataclass) : Ref{};  // the decorator comes first
  if (!dataclass) return {};
  ClassBuilder c(n::BrimvaleFileVersion);
  c.doc(class_doc);
  Ref str_text = Ref::steal(PyUnicode_FromString("str")), dict_text = Ref::steal(PyUnicode_FromString("dict"));
  c.add(n::__annotations__, str_text && dict_text ? dict_of(Loc::current(), n::_access_token, str_text, n::_data,
                                                            dict_text)
                                                  : Ref{});
  // The token stays out of the generated repr, so that logs and tracebacks do not show it.
  Ref field = getattr(dataclasses, n::field);
  c.add(n::_access_token, field ? call_kw(field, n::kw_repr, Py_False) : Ref{});
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
  Ref created = c.create();
  Ref cls = created ? call(dataclass, created) : Ref{};
  if (!cls) return {};
  members.version_storage_url.remember(cls, n::storage_url);
  // What a version is made with, for new_version() while nothing of it has changed.
  if (PyType_Check(cls.get())) {
    PyObject* init = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.get()), n::__init__);
    if (init != nullptr && PyFunction_Check(init)) {
      Py_XSETREF(constants.version_class, cls.new_ref());
      constants.version_init.keep(init);
    }
  }
  return cls;
}

// BrimvaleFileVersion(_access_token=token, _data=data). While the module global is still the
// class defined here, made by `type`, with object's __new__ and, unchanged, the __init__ the
// dataclass decorator generated (which only assigns its two arguments), the instance is made
// and the two assignments done directly; otherwise the class is called as written.
Ref new_version(PyObject* token, PyObject* data) noexcept {
  Ref version_class = global(n::BrimvaleFileVersion);
  if (!version_class) return {};
  auto* type = reinterpret_cast<PyTypeObject*>(version_class.get());
  static KeptLookup init_lookup;
  if (version_class.get() == constants.version_class && Py_TYPE(version_class.get()) == &PyType_Type &&
      type->tp_new == PyBaseObject_Type.tp_new && (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) == 0 &&
      constants.version_init.same(type_lookup(type, n::__init__, init_lookup))) {
    Ref version = result(type->tp_alloc(type, 0), Loc::current());
    if (!version || !set_attrs(version, {{n::_access_token, token}, {n::_data, data}})) return {};
    return version;
  }
  return call_kw(version_class, n::kw_file_version, token, data);
}

}  // namespace brimvale
