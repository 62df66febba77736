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
Ref data_entry(PyObject* self, PyObject* key, const char* message) {
  Ref data = getattr(self, n::_data);
  Ref value = data ? getitem(data, key) : Ref{};
  if (value) return value;
  Caught e;
  if (!e.matches(PyExc_KeyError)) return e.reraise();
  return e.raise_from(PyExc_ValueError, message);
}

Ref version_urn(const Args& a) { return data_entry(a[0], n::id, "Could not obtain URN (id)"); }

Ref attributes(const Args& a) { return data_entry(a[0], n::attributes, "Could not obtain attributes"); }

// None when any key on the way is missing; other lookup failures go to the caller.
Ref storage_url(const Args& a) {
  Ref value = getattr(a[0], n::_data);
  for (PyObject* key : {n::relationships.get(), n::storage.get(), n::meta.get(), n::link.get(), n::href.get()}) {
    if (!value) break;
    value = getitem(value, key);
  }
  if (value) return value;
  Caught e;
  if (!e.matches(PyExc_KeyError)) return e.reraise();
  return none();
}

// _DataManagementAPI.<extractor>(url), refused with `message` when it gives None.
Ref key(PyObject* url, const Name& extractor, const char* message, Loc loc = Loc::current()) noexcept {
  Ref api = global(n::_DataManagementAPI, loc);
  Ref extract = api ? getattr(Borrowed(api, loc), extractor) : Ref{};
  Ref found = extract ? call(Borrowed(extract, loc), url) : Ref{};
  if (found.get() == Py_None) return raise(PyExc_ValueError, message, loc);
  return found;
}

Ref get_file(const Args& a) {
  PyObject* self = a[0];
  Ref download_url = [&]() -> Ref {
    Ref url = getattr(self, n::storage_url);
    if (!url) return {};
    if (url.get() == Py_None) return raise(PyExc_ValueError, "Could not obtain storage URL");
    Ref bucket = key(url, n::extract_bucket_key_from_url, "Could not extract bucket_key from storage URL");
    if (!bucket) return {};
    Ref object = key(url, n::extract_object_key_from_url, "Could not extract object_key from storage URL");
    if (!object) return {};
    Ref api = global(n::_DataManagementAPI);
    Ref request = api ? getattr(api, n::get_signed_s3_url) : Ref{};
    Ref token = request ? getattr(self, n::_access_token) : Ref{};
    if (!token) return {};
    Ref response = call_kw(request, n::kw_signed_s3_url, bucket, object, token);
    if (!response) return {};
    return getitem(response, n::url);
  }();
  if (!download_url) {
    Caught e;
    Ref http_error = except_http_error(e, Clause::in_tuple);
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
      .impl = version_urn,
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
  return created ? call(dataclass, created) : Ref{};
}

}  // namespace brimvale
