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

Ref urn(const Args& a) {
  try {
    return getitem(getattr(a[0], n::_data), n::id);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Could not obtain URN (id)");
  }
}

Ref attributes(const Args& a) {
  try {
    return getitem(getattr(a[0], n::_data), n::attributes);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Could not obtain attributes");
  }
}

// None when any key on the way is missing; other lookup failures go to the caller.
Ref storage_url(const Args& a) {
  try {
    Ref value = getattr(a[0], n::_data);
    for (PyObject* key : {n::relationships.get(), n::storage.get(), n::meta.get(), n::link.get(), n::href.get()})
      value = getitem(value, key);
    return value;
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_KeyError)) e.reraise();
    return none();
  }
}

Ref get_file(const Args& a) {
  PyObject* self = a[0];
  Ref download_url;
  try {
    Ref url = getattr(self, n::storage_url);
    if (url.get() == Py_None) raise(PyExc_ValueError, "Could not obtain storage URL");
    Ref bucket_key = call_method(global(n::_DataManagementAPI), n::extract_bucket_key_from_url, url);
    if (bucket_key.get() == Py_None) raise(PyExc_ValueError, "Could not extract bucket_key from storage URL");
    Ref object_key = call_method(global(n::_DataManagementAPI), n::extract_object_key_from_url, url);
    if (object_key.get() == Py_None) raise(PyExc_ValueError, "Could not extract object_key from storage URL");
    Ref request = getattr(global(n::_DataManagementAPI), n::get_signed_s3_url);
    Ref token = getattr(self, n::_access_token);
    Ref response = call_kw(request, n::kw_signed_s3_url, bucket_key, object_key, token);
    download_url = getitem(response, n::url);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_ValueError, global(n::HTTPError), PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError,
                 "Request to get a short-lived download URL from Brimvale Platform Services failed");
  }
  // Outside the guard: the SDK's own download errors reach the caller as they are.
  return call_method(global(n::File), n::from_url, download_url);
}

}  // namespace

Ref make_file_version_class() {
  Ref dataclass = getattr(global(n::dataclasses), n::dataclass);  // the decorator comes first
  ClassBuilder c(n::BrimvaleFileVersion);
  c.doc(class_doc);
  Ref annotations = new_dict();
  setitem(annotations, n::_access_token, check(PyUnicode_FromString("str")));
  setitem(annotations, n::_data, check(PyUnicode_FromString("dict")));
  c.add(n::__annotations__, annotations);
  // The token stays out of the generated repr, so that logs and tracebacks do not show it.
  c.add(n::_access_token, call_kw(getattr(global(n::dataclasses), n::field), n::kw_repr, Py_False));
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
  return call(dataclass, c.create());
}

}  // namespace brimvale
