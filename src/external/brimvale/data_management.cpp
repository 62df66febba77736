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

// *, url, element_category
Ref extract_element_id(const Args& a) {
  PyObject *url = a[0], *category = a[1];
  Ref re = global(n::re);
  if (!re) return {};
  Ref search = getattr(re, n::search);
  if (!search) return {};
  Ref text = format_text(category);
  if (!text) return {};
  Ref pattern = join({n::slash, text, n::id_pattern_tail});
  if (!pattern) return {};
  Ref match = call(search, pattern, url);
  if (!match) return {};
  const int found = truthy(match);
  if (found <= 0) return found < 0 ? Ref{} : none();
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
bool is_dot_segment(PyObject* text) noexcept {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length == 0 || length > 6) return false;
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
Ref path_segment(PyObject* identifier) noexcept {
  Ref text = format_text(identifier);
  if (!text) return {};
  if (is_dot_segment(text)) return raise(PyExc_ValueError, "Identifier must not be '.' or '..'");
  if (!has_any(text, "/?#")) return text;
  const std::array<std::array<PyObject*, 2>, 3> escapes = {{
      {n::slash, escaped_slash},
      {question_mark, escaped_question_mark},
      {hash_sign, escaped_hash_sign},
  }};
  for (const auto& [plain, escaped] : escapes) {
    text = result(PyUnicode_Replace(text, plain, escaped, -1), Loc::current());
    if (!text) return {};
  }
  return text;
}

// GET <cls.base_attribute><path> with the bearer token; the decoded JSON answer. The path
// alternates fixed text and identifiers, starting with fixed text; each identifier goes in as
// one path segment.
template <class... Pieces>
Ref get_json(PyObject* cls, const Name& base_attribute, PyObject* token, const Pieces&... path) {
  Ref http = session();
  if (!http) return {};
  Ref base = getattr(cls, base_attribute);
  if (!base || !(base = format_text(base))) return {};
  std::array<PyObject*, sizeof...(Pieces) + 1> parts{base.get(), Borrowed(path).get()...};
  std::array<Ref, sizeof...(Pieces) / 2> segments;  // the identifiers' texts, at parts[2], parts[4], ...
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (!(segments[i] = path_segment(parts[2 * i + 2]))) return {};
    parts[2 * i + 2] = segments[i].get();
  }
  Ref url = join(parts.data(), parts.size());
  if (!url) return {};
  Ref headers = bearer_headers(token);
  if (!headers) return {};
  return checked_json(call_method_kw(http, n::get, n::kw_get, url, headers, constants.ten));
}

// Arguments: cls, then the keyword-only parameters in order.
Ref get_item_tip(const Args& a) {
  return get_json(a[0], n::DATA_BASE_URL, a[3], n::projects_path, a[1], n::items_path, a[2], n::tip_path);
}

Ref get_signed_s3_url(const Args& a) {
  return get_json(a[0], n::OSS_BASE_URL, a[3], n::buckets_path, a[1], n::objects_path, a[2], n::signed_download_path);
}

Ref get_hubs(const Args& a) { return get_json(a[0], n::PROJECT_BASE_URL, a[1], n::hubs_path); }

Ref get_hub(const Args& a) { return get_json(a[0], n::PROJECT_BASE_URL, a[2], n::hubs_slash_path, a[1]); }

Ref get_project(const Args& a) {
  return get_json(a[0], n::PROJECT_BASE_URL, a[3], n::hubs_slash_path, a[1], n::projects_path, a[2]);
}

// f"{_BASE_URL}<path>", read while the class body runs.
Ref base_url(PyObject* path, Loc loc = Loc::current()) noexcept {
  Ref base = global(n::_BASE_URL, loc);
  if (!base || !(base = format_text(Borrowed(base, loc)))) return {};
  return join({base, path}, loc);
}

}  // namespace

Ref make_data_management_class() noexcept {
  ClassBuilder c(n::_DataManagementAPI);
  c.doc(" https://developer.brimvale.example/data-management/guide/ ");
  c.add(n::PROJECT_BASE_URL, base_url(project_path));
  c.add(n::DATA_BASE_URL, base_url(data_path));
  c.add(n::OSS_BASE_URL, base_url(oss_path));

  c.staticmethod({
      .name = "_extract_element_id_from_url",
      .positional = {},
      .keyword_only = {"url", "element_category"},
      .annotations = {{"url", "str"}, {"element_category", "str"}, {"return", "Optional[str]"}},
      .impl = extract_element_id,
  });
  c.classmethod({.name = "extract_project_id_from_url",
                 .positional = {"cls", "url"},
                 .annotations = {{"url", "str"}, {"return", "Optional[str]"}},
                 .impl = extract_project_id});
  c.classmethod({.name = "extract_item_id_from_url",
                 .positional = {"cls", "url"},
                 .annotations = {{"url", "str"}, {"return", "Optional[str]"}},
                 .impl = extract_item_id});
  c.classmethod({.name = "extract_bucket_key_from_url",
                 .positional = {"cls", "url"},
                 .annotations = {{"url", "str"}, {"return", "Optional[str]"}},
                 .impl = extract_bucket_key});
  c.classmethod({.name = "extract_object_key_from_url",
                 .positional = {"cls", "url"},
                 .annotations = {{"url", "str"}, {"return", "Optional[str]"}},
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
