// _AECDataModelAPI: the platform's AEC Data Model GraphQL endpoint.
#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

namespace {

const Name graphql_path{"/aec/graphql"};

// The GraphQL documents as written in the source, indented; what is sent is dedented and
// stripped at each request.
const Name hubs_document{R"(
        query GetHubs($pagination: PaginationInput) {
          hubs(pagination: $pagination) {
            results {
              id
            }
            pagination {
              cursor
            }
          }
        }
        )"};

const Name element_groups_document{R"(
        query GetElementGroupsByHub($hubId: ID!, $filter: ElementGroupFilterInput, $pagination: PaginationInput) {
          elementGroupsByHub(hubId: $hubId, filter: $filter, pagination: $pagination) {
            results {
              id
            }
            pagination {
              cursor
            }
          }
        }
        )"};

// dedent(document).strip()
Ref document(const Name& source) noexcept {
  Ref dedent = global(n::dedent);
  if (!dedent) return {};
  Ref dedented = call(dedent, source);
  if (!dedented) return {};
  return call_method(dedented, n::strip);
}

// cls, query, region, access_token, variables
Ref send_request(const Args& a) {
  PyObject *cls = a[0], *query = a[1], *region = a[2], *token = a[3], *variables = a[4];
  Ref payload = dict_of(Loc::current(), n::query, query);
  if (!payload) return {};
  const int with_variables = truthy(variables);
  if (with_variables < 0 || (with_variables && !setitem(payload, n::variables, variables))) return {};
  Ref http = session();
  if (!http) return {};
  Ref url = getattr(cls, n::GRAPHQL_URL);
  if (!url) return {};
  Ref headers = bearer_headers(token);
  if (!headers || !setitem(headers, n::Region, region)) return {};
  return checked_json(call_method_kw(http, n::post, n::kw_post, url, headers, payload, constants.ten));
}

Ref pagination(PyObject* cls, PyObject* limit, PyObject* cursor) noexcept {
  return call_method_kw(cls, n::_get_pagination_variable, n::kw_pagination, limit, cursor);
}

// cls._send_request(query, region, access_token, variables)
Ref send(PyObject* cls, const Ref& query, PyObject* region, PyObject* token, const Ref& variables) noexcept {
  return call_method(cls, n::_send_request, query, region, token, variables);
}

// cls, *, region, access_token, limit, cursor
Ref get_aec_hubs(const Args& a) {
  PyObject* cls = a[0];
  Ref query = document(hubs_document);
  if (!query) return {};
  Ref page = pagination(cls, a[3], a[4]);
  if (!page) return {};
  Ref variables = dict_of(Loc::current(), n::pagination, page);
  if (!variables) return {};
  return send(cls, query, a[1], a[2], variables);
}

// cls, *, hub_id, region, access_token, file_urn, limit, cursor
Ref get_element_groups_by_hub(const Args& a) {
  PyObject *cls = a[0], *hub_id = a[1], *region = a[2], *token = a[3];
  PyObject *file_urn = a[4], *limit = a[5], *cursor = a[6];
  const int with_limit = truthy(limit);
  if (with_limit < 0) return {};
  if (with_limit) {
    const int with_cursor = truthy(cursor);
    if (with_cursor < 0) return {};
    if (with_cursor) return raise(PyExc_ValueError, "Cannot provide both limit and cursor");
  }
  Ref query = document(element_groups_document);
  if (!query) return {};
  Ref variables = dict_of(Loc::current(), n::hubId, hub_id);
  if (!variables) return {};
  Ref page = pagination(cls, limit, cursor);
  if (!page || !setitem(variables, n::pagination, page)) return {};
  const int filtered = truthy(file_urn);
  if (filtered < 0) return {};
  if (filtered) {
    Ref urn_text = format_text(file_urn);
    if (!urn_text) return {};
    // The URN goes into the filter's quoted text: a quote would end it and rewrite the filter.
    if (has_any(urn_text, "'")) return raise(PyExc_ValueError, "File URN must not contain a single quote");
    Ref filter_text = join({n::file_urn_filter_head, urn_text, n::quote});
    if (!filter_text) return {};
    Ref filter = dict_of(Loc::current(), n::query, filter_text);
    if (!filter || !setitem(variables, n::filter, filter)) return {};
  }
  return send(cls, query, region, token, variables);
}

// *, limit, cursor
Ref get_pagination_variable(const Args& a) {
  PyObject *limit = a[0], *cursor = a[1];
  Ref variable = new_dict();
  if (!variable) return {};
  const int with_cursor = truthy(cursor);
  if (with_cursor < 0 || (with_cursor && !setitem(variable, n::cursor, cursor))) return {};
  const int with_limit = truthy(limit);
  if (with_limit < 0 || (with_limit && !setitem(variable, n::limit, limit))) return {};
  return variable;
}

}  // namespace

Ref make_aec_data_model_class() noexcept {
  ClassBuilder c(n::_AECDataModelAPI);
  c.doc(" https://developer.brimvale.example/aec-data-model/guide/ ");
  Ref base = global(n::_BASE_URL);
  if (base) base = format_text(base);
  c.add(n::GRAPHQL_URL, base ? join({base, graphql_path}) : Ref{});
  c.classmethod({
      .name = "_send_request",
      .positional = {"cls", "query", "region", "access_token", "variables"},
      .defaults = {Py_None},
      .annotations = {{"query", "str"},
                      {"region", "str"},
                      {"access_token", "str"},
                      {"variables", "Optional[dict]"},
                      {"return", "dict"}},
      .impl = send_request,
  });
  c.classmethod({
      .name = "get_hubs",
      .positional = {"cls"},
      .keyword_only = {"region", "access_token", "limit", "cursor"},
      .kwdefaults = {{"limit", Py_None}, {"cursor", Py_None}},
      .annotations = {{"region", "str"}, {"access_token", "str"}, {"limit", "int"}, {"cursor", "str"}, {"return", "dict"}},
      .doc = " https://developer.brimvale.example/aec-data-model/reference/hubs/ ",
      .impl = get_aec_hubs,
  });
  c.classmethod({
      .name = "get_element_groups_by_hub",
      .positional = {"cls"},
      .keyword_only = {"hub_id", "region", "access_token", "file_urn", "limit", "cursor"},
      .kwdefaults = {{"file_urn", Py_None}, {"limit", Py_None}, {"cursor", Py_None}},
      .annotations = {{"hub_id", "str"},
                      {"region", "str"},
                      {"access_token", "str"},
                      {"file_urn", "Optional[str]"},
                      {"limit", "int"},
                      {"cursor", "str"},
                      {"return", "dict"}},
      .doc = " https://developer.brimvale.example/aec-data-model/reference/element-groups-by-hub/ ",
      .impl = get_element_groups_by_hub,
  });
  c.staticmethod({
      .name = "_get_pagination_variable",
      .positional = {},
      .keyword_only = {"limit", "cursor"},
      .kwdefaults = {{"limit", Py_None}, {"cursor", Py_None}},
      .annotations = {{"limit", "int"}, {"cursor", "str"}, {"return", "dict"}},
      .impl = get_pagination_variable,
  });
  return c.create();
}

}  // namespace brimvale
