// _DataManagementAPI: identifiers out of platform URLs, and the platform's REST requests.
#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Characters with a meaning in a regular expression: a category holding none of them makes
// the search pattern a literal followed by the identifier's character class.
constexpr CharSet regex_metacharacters{".^$*+?{}[]\\|()"};

template <class U>
[[gnu::always_inline]] inline bool same_text(const U* at, const void* category, int kind, Py_ssize_t length) noexcept {
  if constexpr (sizeof(U) == 1) {
    if (kind == PyUnicode_1BYTE_KIND) return same_bytes(at, category, static_cast<std::size_t>(length));
  }
  for (Py_ssize_t j = 0; j < length; ++j)
    if (at[j] != PyUnicode_READ(kind, category, j)) return false;
  return true;
}

#if defined(__SSE2__)
// The first "/" or "?" at or after `from` in the last sixteen characters of a string of
// one byte per character (n >= 16), or n: one block for what is left after whole blocks.
[[gnu::noinline]] Py_ssize_t last_block_stop(const Py_UCS1* url, Py_ssize_t from, Py_ssize_t n) noexcept {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(url + n - 16));
  auto stops = static_cast<unsigned>(_mm_movemask_epi8(
      _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('/')), _mm_cmpeq_epi8(block, _mm_set1_epi8('?')))));
  stops &= ~0u << (16 - (n - from));  // those before `from` were scanned already
  return stops != 0 ? n - 16 + __builtin_ctz(stops) : n;
}
#endif

// Where the identifier that starts at `start` ends: at the next "/" or "?", or the end.
template <class U>
[[gnu::always_inline]] inline Py_ssize_t identifier_end(const U* url, Py_ssize_t start, Py_ssize_t n) noexcept {
  Py_ssize_t end = start;
#if defined(__SSE2__)
  if constexpr (sizeof(U) == 1) {
    const __m128i slash = _mm_set1_epi8('/'), question = _mm_set1_epi8('?');
    for (; end + 16 <= n; end += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(url + end));
      const int stops = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, slash), _mm_cmpeq_epi8(block, question)));
      if (stops != 0) return end + __builtin_ctz(static_cast<unsigned>(stops));
    }
    if (end < n && n >= 16) return last_block_stop(url, end, n);
  }
#endif
  while (end < n && url[end] != '/' && url[end] != '?') ++end;
  return end;
}

// Whether "/<category>/" starts at i and one identifier character follows; then where it
// starts and ends.
template <class U>
[[gnu::always_inline]] inline bool identifier_at(const U* url, Py_ssize_t n, Py_ssize_t i, const void* category, int kind, Py_ssize_t m,
                   Py_ssize_t& start, Py_ssize_t& end) noexcept {
  const Py_ssize_t after = i + 1 + m;
  if (url[after] != '/' || !same_text(url + i + 1, category, kind, m)) return false;
  const U first = url[after + 1];
  if (first == '/' || first == '?') return false;
  start = after + 1;
  end = identifier_end(url, start, n);
  return true;
}

// Where the identifier after the first "/<category>/" starts and ends, as the pattern
// "/<category>/([^/?]+)" finds it: the leftmost "/<category>/" followed by at least one
// character other than "/" and "?"; the run of such characters is the identifier.
template <class U>
bool find_identifier(const U* url, Py_ssize_t n, PyObject* category, Py_ssize_t& start, Py_ssize_t& end) noexcept {
  const Py_ssize_t m = PyUnicode_GET_LENGTH(category);
  const int kind = PyUnicode_KIND(category);
  const void* text = PyUnicode_DATA(category);
  // The last place "/<category>/" can start with one identifier character after it.
  const Py_ssize_t last = n - m - 3;
  Py_ssize_t i = 0;
#if defined(__SSE2__)
  if constexpr (sizeof(U) == 1) {
    // Sixteen start positions at a time: those with "/" there, the category's first
    // character after it and "/" where the category would end are candidates, in order.
    // (The category is one byte per character too, or it could not occur here.) Loads stay
    // inside the string; the rest goes one character at a time.
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i first = m > 0 ? _mm_set1_epi8(static_cast<char>(static_cast<const Py_UCS1*>(text)[0])) : slash;
    // Blocks while "/<category>/" and one character more can start in them, and the loads fit.
    const Py_ssize_t last_block = last < n - m - 17 ? last : n - m - 17;
    for (; i <= last_block; i += 16) {
      const __m128i at_slash = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(url + i)), slash);
      const __m128i then_first = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(url + i + 1)), first);
      const __m128i closing = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(url + i + 1 + m)), slash);
      auto candidates =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(at_slash, then_first), closing)));
      while (candidates != 0) {
        const Py_ssize_t at = i + __builtin_ctz(candidates);
        if (at > last) return false;
        if (identifier_at(url, n, at, text, kind, m, start, end)) return true;
        candidates &= candidates - 1;
      }
    }
  }
#endif
  for (; i <= last; ++i)
    if (url[i] == '/' && identifier_at(url, n, i, text, kind, m, start, end)) return true;
  return false;
}

// re.search(f"/{category}/([^/?]+)", url).group(1), or None, for an exact str URL and a
// category without metacharacters.
Ref search_identifier(PyObject* url, PyObject* category) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(url);
  const void* data = PyUnicode_DATA(url);
  // A category with a character wider than any of the URL's cannot occur in it.
  if (PyUnicode_KIND(category) > PyUnicode_KIND(url)) return none();
  Py_ssize_t start = 0, end = 0;
  bool found;
  switch (PyUnicode_KIND(url)) {
    case PyUnicode_1BYTE_KIND: found = find_identifier(static_cast<const Py_UCS1*>(data), n, category, start, end); break;
    case PyUnicode_2BYTE_KIND: found = find_identifier(static_cast<const Py_UCS2*>(data), n, category, start, end); break;
    default: found = find_identifier(static_cast<const Py_UCS4*>(data), n, category, start, end); break;
  }
  if (!found) return none();
  if (PyUnicode_IS_ASCII(url)) {
    // An ASCII URL gives an ASCII identifier: a plain copy.
    Ref identifier = result(PyUnicode_New(end - start, 127), Loc::current());
    if (identifier)
      copy_bytes(PyUnicode_1BYTE_DATA(identifier.get()), static_cast<const Py_UCS1*>(data) + start,
                 static_cast<std::size_t>(end - start));
    return identifier;
  }
  return result(PyUnicode_Substring(url, start, end), Loc::current());
}

// One of the four categories the extractors pass: known to hold no metacharacter.
bool is_own_category(PyObject* category) noexcept {
  return category == n::projects_category.get() || category == n::items_category.get() ||
         category == n::buckets_category.get() || category == n::objects_category.get();
}

// Whether the module's re and re's search are still the standard library's, unchanged (the
// entries of the two module dicts kept as kept.hpp says), and the URL an exact str: then the
// search for a literal category (the extractors' own among them) runs here. The lookups can
// run a colliding key's __eq__; nothing is held across them.
[[gnu::always_inline]] inline bool searches_here(PyObject* url) noexcept {
  // re.search: the entry of re's dict while re is still a plain module (its class can be
  // reassigned to a subclass; its dict cannot be replaced).
  static KeptEntry search_entry;
  if (!PyUnicode_CheckExact(url) || global_entry(n::re) != constants.std_re ||
      Py_TYPE(constants.std_re) != &PyModule_Type ||
      !constants.std_search.same(kept_entry(constants.std_re_dict, n::search, search_entry))) {
    PyErr_Clear();  // a failed look: the long way looks again and reports it
    return false;
  }
  return true;
}

// *, url, element_category
Ref extract_element_id(const Args& a) {
  PyObject* url = a[0];
  Ref category = format_text(a[1]);
  if (!category) return {};
  // While re and its search are the library's own, a literal pattern is searched here:
  // the same answer without re's cache lookup and compilation.
  if (searches_here(url) && (is_own_category(category) || !has_any(category, regex_metacharacters)))
    return search_identifier(url, category);
  Ref re = global(n::re);
  if (!re) return {};
  Ref search = module_attr(re, n::search);
  if (!search) return {};
  Ref pattern = join({n::slash, category, n::id_pattern_tail});
  if (!pattern) return {};
  Ref match = call(search, pattern, url);
  if (!match) return {};
  const int found = truthy(match);
  if (found <= 0) return found < 0 ? Ref{} : none();
  return call_method(match, n::group, constants.one);
}

// _extract_element_id_from_url(url=url, element_category=category) for one of the
// extractors' own categories, once the static method is known to be the module's: the
// search directly when it can run here (with the static method's traceback entry, at the
// line the search failed on, if it fails), the call otherwise.
[[gnu::always_inline]] inline Ref own_search(PyObject* url, PyObject* category, Loc loc = Loc::current()) noexcept {
  if (!searches_here(url)) return invoke(members.extract_element_id.function(), {url, category}, loc);
  Ref found = search_identifier(url, category);
  if (!found) {
    add_traceback_entry(members.extract_element_id.function(), take_noted());
    note(loc);
  }
  return found;
}

}  // namespace

Ref extract_directly(PyObject* api, const Member& extractor, PyObject* category, PyObject* url, Loc loc) noexcept {
  if (!members.extract_element_id.resolves(api, n::_extract_element_id_from_url))
    return invoke(extractor.function(), {api, url}, loc);
  Ref found = own_search(url, category, loc);
  if (!found) {
    add_traceback_entry(extractor.function());
    note(loc);
  }
  return found;
}

namespace {

// Through cls, so that a subclass replacing the static method changes all four.
Ref extract(const Args& a, PyObject* category) {
  PyObject *cls = a[0], *url = a[1];
  if (members.extract_element_id.resolves(cls, n::_extract_element_id_from_url)) return own_search(url, category);
  return call_method_kw(cls, n::_extract_element_id_from_url, n::kw_extract, category, url);
}

Ref extract_project_id(const Args& a) { return extract(a, n::projects_category); }
Ref extract_item_id(const Args& a) { return extract(a, n::items_category); }
Ref extract_bucket_key(const Args& a) { return extract(a, n::buckets_category); }
Ref extract_object_key(const Args& a) { return extract(a, n::objects_category); }

// ---- requests ----

// "." or "..", also percent-encoded ("%2e", "%2E%2e", ...): as a path segment it would make
// the session's URL handling move up the path and send the request to another endpoint.
bool is_dot_segment(int kind, const void* data, Py_ssize_t length) noexcept {
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

bool is_dot_segment(PyObject* text) noexcept {
  return is_dot_segment(PyUnicode_KIND(text), PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text));
}

// An identifier as one path segment: "/", "?" and "#" would end it and send the request
// elsewhere, so they are percent-encoded; everything else, escapes included, goes in as is.
Ref path_segment(PyObject* identifier) noexcept {
  Ref text = format_text(identifier);
  if (!text) return {};
  if (is_dot_segment(text)) return raise(PyExc_ValueError, "Identifier must not be '.' or '..'");
  static constexpr CharSet path_separators{"/?#"};
  if (!has_any(text, path_separators)) return text;
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
// alternates fixed text and identifiers, starting with fixed text: fixed, id, fixed, ... An
// identifier given whole goes in as a path segment; one given as a span of an ASCII str is
// known to need no escaping and goes in as it is.
Ref get_json(PyObject* cls, const Name& base_attribute, std::initializer_list<Piece> path, PyObject* token) {
  Ref http = session();
  if (!http) return {};
  Ref base = class_attr(cls, base_attribute);
  if (!base || !(base = format_text(base))) return {};
  Piece parts[6] = {{base.get()}};
  Ref segments[2];  // the texts of identifiers given whole
  std::size_t count = 1;
  for (const Piece& piece : path) {
    parts[count] = piece;
    if (count % 2 == 0 && piece.end < 0) {  // an identifier given whole
      Ref& segment = segments[count / 2 - 1];
      if (!(segment = path_segment(piece.text))) return {};
      parts[count] = {segment.get()};
    }
    ++count;
  }
  Ref url = join(parts, count);
  if (!url) return {};
  Ref headers = bearer_headers(token);
  if (!headers) return {};
  return checked_json(call_method_kw(http, n::get, n::kw_get, url, headers, constants.ten));
}

// Arguments: cls, then the keyword-only parameters in order.
Ref get_item_tip(const Args& a) {
  return get_json(a[0], n::DATA_BASE_URL, {{n::projects_path}, {a[1]}, {n::items_path}, {a[2]}, {n::tip_path}}, a[3]);
}

Ref get_signed_s3_url(const Args& a) {
  return get_json(a[0], n::OSS_BASE_URL,
                  {{n::buckets_path}, {a[1]}, {n::objects_path}, {a[2]}, {n::signed_download_path}}, a[3]);
}

}  // namespace

// One key of a URL (a download's bucket or object key, a handle's project id or URN): where
// the long way would call the extractor, everything it goes through is looked at first, in the
// order the long way looks it up (the extractor, the static method it forwards to, re and re's
// search). While all are the module's and the
// library's own and the URL is an ASCII str, the key is found as a span of the URL, without
// a str of its own; otherwise the extractor is called.
int key_from_url(PyObject* api, PyObject* url, const Member& extractor, const Name& name, const Name& category,
                 Key& key, Loc loc) noexcept {
  if (extractor.resolves(api, name) && members.extract_element_id.resolves(api, n::_extract_element_id_from_url) &&
      searches_here(url) && PyUnicode_IS_ASCII(url)) {
    if (!find_identifier(PyUnicode_1BYTE_DATA(url), PyUnicode_GET_LENGTH(url), category, key.start, key.end)) return 0;
    // A key that a path would escape or refuse ("#", "." or "..") is made a str, which the
    // request treats as the long way's key.
    const Py_UCS1* text = PyUnicode_1BYTE_DATA(url) + key.start;
    const auto length = static_cast<std::size_t>(key.end - key.start);
    if (is_dot_segment(PyUnicode_1BYTE_KIND, text, key.end - key.start) || std::memchr(text, '#', length) != nullptr) {
      key.text = result(PyUnicode_Substring(url, key.start, key.end), loc);
      key.end = -1;
    } else {
      key.text = Ref::borrow(url);
    }
    return key.text ? 1 : -1;
  }
  key.end = -1;
  key.text = extractor.resolves(api, name) ? extract_directly(api, extractor, category, url, loc)
                                           : call_method(Obj(api, loc), name, url);
  if (!key.text) return -1;
  return key.text.get() == Py_None ? 0 : 1;
}

bool Callee::look_up(PyObject* api, Loc loc) noexcept {
  direct = request.member.resolves(api, request.name);
  if (direct) return true;
  method = getattr(Obj(api, loc), request.name);
  return static_cast<bool>(method);
}

Ref Callee::call(PyObject* api, std::initializer_list<Piece> path, std::initializer_list<const Key*> keys,
                 PyObject* token, Loc loc) const noexcept {
  if (!direct) {
    // The member as called: the keys as strs, in the order of its keywords.
    std::array<Ref, 4> values;
    std::size_t i = 0;
    for (const Key* key : keys) {
      values[i] = key->str(loc);
      if (!values[i++]) return {};
    }
    values[i] = Ref::borrow(token);
    PyObject* stack[] = {nullptr, values[0].get(), values[1].get(), values[2].get(), values[3].get()};
    return result(PyObject_Vectorcall(method, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, request.keywords), loc);
  }
  Ref response = get_json(api, request.base, path, token);
  if (!response) {
    add_traceback_entry(request.member.function(), take_noted());
    note(loc);
  }
  return response;
}

namespace {

Ref get_hubs(const Args& a) { return get_json(a[0], n::PROJECT_BASE_URL, {{n::hubs_path}}, a[1]); }

Ref get_hub(const Args& a) { return get_json(a[0], n::PROJECT_BASE_URL, {{n::hubs_slash_path}, {a[1]}}, a[2]); }

Ref get_project(const Args& a) {
  return get_json(a[0], n::PROJECT_BASE_URL, {{n::hubs_slash_path}, {a[1]}, {n::projects_path}, {a[2]}}, a[3]);
}

// f"{_BASE_URL}<path>", read while the class body runs.
Ref base_url(PyObject* path, Loc loc = Loc::current()) noexcept {
  Ref base = global(n::_BASE_URL, loc);
  if (!base || !(base = format_text(Obj(base, loc)))) return {};
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
  Ref cls = c.create();
  members.extract_element_id.remember(cls, n::_extract_element_id_from_url);
  members.extract_project_id.remember(cls, n::extract_project_id_from_url);
  members.extract_item_id.remember(cls, n::extract_item_id_from_url);
  members.extract_bucket_key.remember(cls, n::extract_bucket_key_from_url);
  members.extract_object_key.remember(cls, n::extract_object_key_from_url);
  members.get_item_tip.remember(cls, n::get_item_tip);
  members.get_signed_s3_url.remember(cls, n::get_signed_s3_url);
  members.get_hubs.remember(cls, n::get_hubs);
  members.get_project.remember(cls, n::get_project);
  return cls;
}

}  // namespace brimvale
