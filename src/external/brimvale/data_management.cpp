// _DataManagementAPI: identifiers out of platform URLs, and the platform's REST requests.
#include <array>

#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

namespace {

const Name question_mark{"?"};
const Name hash_sign{"#"};
const Name escaped_slash{"%2F"};
const Name escaped_question_mark{"%3F"};
const Name escaped_hash_sign{"%23"};
const Name project_path{"/project/v1"};
const Name data_path{"/data/v1"};
const Name oss_path{"/oss/v2"};

// ---- identifiers out of URLs ----

Ref extract_element_id(const Args& a) {
  PyObject* url = a[0];
  Ref category = format_text(a[1]);
  Ref pattern = join({n::slash, category, n::id_pattern_tail});
  Ref match = call_method(global(n::re), n::search, pattern, url);
  if (!truthy(match)) return none();
  return call_method(match, n::group, constants.one);
}

// Through cls, so that a subclass replacing the static method changes all four.
Ref extract(const Args& a, PyObject* category) {
  return call_method_kw(a[0], n::_extract_element_id_from_url, n::kw_extract, category, a[1]);
}

Ref extract_project_id(const Args& a) { return extract(a, n::projects_category); }
Ref extract_item_id(const Args& a) { return extract(a, n::items_category); }
Ref extract_bucket_key(const Args& a) { return extract(a, n::buckets_category); }
Ref extract_object_key(const Args& a) { return extract(a, n::objects_category); }

// ---- requests ----

// "." or "..", also percent-encoded ("%2e", "%2E%2e", ...): as a path segment it would make
// the session's URL handling move up the path and send the request to another endpoint.
bool is_dot_segment(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length == 0 || length > 6) return false;
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  int dots = 0;
  for (Py_ssize_t i = 0; i < length; ++dots) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c == '.') {
      i += 1;
    } else if (c == '%' && i + 2 < length && PyUnicode_READ(kind, data, i + 1) == '2' &&
               (PyUnicode_READ(kind, data, i + 2) | 0x20) == 'e') {
      i += 3;
    } else {
      return false;
    }
  }
  return dots <= 2;
}

// An identifier as one path segment: "/", "?" and "#" would end it and send the request
// elsewhere, so they are percent-encoded; everything else, escapes included, goes in as is.
Ref path_segment(PyObject* identifier) {
  Ref text = format_text(identifier);
  if (is_dot_segment(text)) raise(PyExc_ValueError, "Identifier must not be '.' or '..'");
  const std::array<std::array<PyObject*, 2>, 3> escapes = {{
      {n::slash, escaped_slash},
      {question_mark, escaped_question_mark},
      {hash_sign, escaped_hash_sign},
  }};
  for (const auto& [plain, escaped] : escapes) {
    if (check_status(PySequence_Contains(text, plain)))
      text = check(PyUnicode_Replace(text, plain, escaped, -1));
  }
  return text;
}

// A piece of a request path: fixed text, or an identifier to insert as one segment.
struct Piece {
  PyObject* text;
  bool identifier;
};
Piece fixed(PyObject* text) { return {text, false}; }
Piece id(PyObject* value) { return {value, true}; }

// GET <cls.base_attribute><path> with the bearer token; the decoded JSON answer.
Ref get_json(PyObject* cls, PyObject* base_attribute, std::initializer_list<Piece> path, PyObject* token) {
  Ref http = session();
  std::array<Ref, 8> texts;
  std::array<PyObject*, 8> parts{};
  std::size_t count = 0;
  texts[count] = format_text(getattr(cls, base_attribute));
  parts[count] = texts[count].get();
  ++count;
  for (const Piece& piece : path) {
    texts[count] = piece.identifier ? path_segment(piece.text) : Ref::borrow(piece.text);
    parts[count] = texts[count].get();
    ++count;
  }
  Ref url = join(parts.data(), count);
  Ref headers = bearer_headers(token);
  Ref response = call_method_kw(http, n::get, n::kw_get, url, headers, constants.ten);
  return checked_json(response);
}

// Arguments: cls, then the keyword-only parameters in order.
Ref get_item_tip(const Args& a) {
  return get_json(a[0], n::DATA_BASE_URL,
                  {fixed(n::projects_path), id(a[1]), fixed(n::items_path), id(a[2]), fixed(n::tip_path)}, a[3]);
}

Ref get_signed_s3_url(const Args& a) {
  return get_json(a[0], n::OSS_BASE_URL,
                  {fixed(n::buckets_path), id(a[1]), fixed(n::objects_path), id(a[2]),
                   fixed(n::signed_download_path)},
                  a[3]);
}

Ref get_hubs(const Args& a) { return get_json(a[0], n::PROJECT_BASE_URL, {fixed(n::hubs_path)}, a[1]); }

Ref get_hub(const Args& a) {
  return get_json(a[0], n::PROJECT_BASE_URL, {fixed(n::hubs_slash_path), id(a[1])}, a[2]);
}

Ref get_project(const Args& a) {
  return get_json(a[0], n::PROJECT_BASE_URL,
                  {fixed(n::hubs_slash_path), id(a[1]), fixed(n::projects_path), id(a[2])}, a[3]);
}

// f"{_BASE_URL}<path>", read while the class body runs.
Ref base_url(PyObject* path) {
  Ref base = format_text(global(n::_BASE_URL));
  return join({base, path});
}

}  // namespace

Ref make_data_management_class() {
  ClassBuilder c(n::_DataManagementAPI);
  c.doc(" https://developer.brimvale.example/data-management/guide/ ");
  c.add(n::PROJECT_BASE_URL, base_url(project_path));
  c.add(n::DATA_BASE_URL, base_url(data_path));
  c.add(n::OSS_BASE_URL, base_url(oss_path));

  const std::vector<std::pair<const char*, const char*>> extractor_annotations = {
      {"url", "str"}, {"return", "Optional[str]"}};
  c.staticmethod({
      .name = "_extract_element_id_from_url",
      .positional = {},
      .keyword_only = {"url", "element_category"},
      .annotations = {{"url", "str"}, {"element_category", "str"}, {"return", "Optional[str]"}},
      .impl = extract_element_id,
  });
  c.classmethod({.name = "extract_project_id_from_url",
                 .positional = {"cls", "url"},
                 .annotations = extractor_annotations,
                 .impl = extract_project_id});
  c.classmethod({.name = "extract_item_id_from_url",
                 .positional = {"cls", "url"},
                 .annotations = extractor_annotations,
                 .impl = extract_item_id});
  c.classmethod({.name = "extract_bucket_key_from_url",
                 .positional = {"cls", "url"},
                 .annotations = extractor_annotations,
                 .impl = extract_bucket_key});
  c.classmethod({.name = "extract_object_key_from_url",
                 .positional = {"cls", "url"},
                 .annotations = extractor_annotations,
                 .impl = extract_object_key});

  c.classmethod({
      .name = "get_item_tip",
      .positional = {"cls"},
      .keyword_only = {"project_id", "item_id", "access_token"},
      .annotations = {{"project_id", "str"}, {"item_id", "str"}, {"access_token", "str"}, {"return", "dict"}},
      .doc = " https://developer.brimvale.example/data-management/reference/item-tip/ ",
      .impl = get_item_tip,
  });
  c.classmethod({
      .name = "get_signed_s3_url",
      .positional = {"cls"},
      .keyword_only = {"bucket_key", "object_key", "access_token"},
      .annotations = {{"bucket_key", "str"}, {"object_key", "str"}, {"access_token", "str"}, {"return", "dict"}},
      .doc = " https://developer.brimvale.example/data-management/reference/signed-download/ ",
      .impl = get_signed_s3_url,
  });
  c.classmethod({
      .name = "get_hubs",
      .positional = {"cls"},
      .keyword_only = {"access_token"},
      .annotations = {{"access_token", "str"}, {"return", "dict"}},
      .doc = " https://developer.brimvale.example/data-management/reference/hubs/ ",
      .impl = get_hubs,
  });
  c.classmethod({
      .name = "get_hub",
      .positional = {"cls"},
      .keyword_only = {"hub_id", "access_token"},
      .annotations = {{"hub_id", "str"}, {"access_token", "str"}, {"return", "dict"}},
      .doc = " https://developer.brimvale.example/data-management/reference/hub/ ",
      .impl = get_hub,
  });
  c.classmethod({
      .name = "get_project",
      .positional = {"cls"},
      .keyword_only = {"hub_id", "project_id", "access_token"},
      .annotations = {{"hub_id", "str"}, {"project_id", "str"}, {"access_token", "str"}, {"return", "dict"}},
      .doc = " https://developer.brimvale.example/data-management/reference/project/ ",
      .impl = get_project,
  });
  return c.create();
}

}  // namespace brimvale
