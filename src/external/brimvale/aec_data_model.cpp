// _AECDataModelAPI: the platform's AEC Data Model GraphQL endpoint.
#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

namespace {

const Name graphql_path{"/aec/graphql"};

// The documents as written in the source, dedented and stripped on every call.
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

// cls, query, region, access_token, variables
Ref send_request(const Args& a) {
  PyObject* variables = a[4];
  Ref payload = new_dict();
  setitem(payload, n::query, a[1]);
  if (truthy(variables)) setitem(payload, n::variables, variables);
  Ref http = session();
  Ref url = getattr(a[0], n::GRAPHQL_URL);
  Ref headers = bearer_headers(a[3]);
  setitem(headers, n::Region, a[2]);
  Ref response = call_method_kw(http, n::post, n::kw_post, url, headers, payload, constants.ten);
  return checked_json(response);
}

Ref document(PyObject* text) { return call_method(call(global(n::dedent), text), n::strip); }

Ref pagination(PyObject* cls, PyObject* limit, PyObject* cursor) {
  return call_method_kw(cls, n::_get_pagination_variable, n::kw_pagination, limit, cursor);
}

// cls, *, region, access_token, limit, cursor
Ref get_hubs(const Args& a) {
  PyObject* cls = a[0];
  Ref query = document(hubs_document);
  Ref variables = new_dict();
  setitem(variables, n::pagination, pagination(cls, a[3], a[4]));
  return call_method(cls, n::_send_request, query, a[1], a[2], variables);
}

// cls, *, hub_id, region, access_token, file_urn, limit, cursor
Ref get_element_groups_by_hub(const Args& a) {
  PyObject *cls = a[0], *hub_id = a[1], *region = a[2], *token = a[3];
  PyObject *file_urn = a[4], *limit = a[5], *cursor = a[6];
  if (truthy(limit) && truthy(cursor)) raise(PyExc_ValueError, "Cannot provide both limit and cursor");
  Ref query = document(element_groups_document);
  Ref variables = new_dict();
  setitem(variables, n::hubId, hub_id);
  setitem(variables, n::pagination, pagination(cls, limit, cursor));
  if (truthy(file_urn)) {
    Ref urn_text = format_text(file_urn);
    // The URN goes into the filter's quoted text: a quote would end it and rewrite the filter.
    if (check_status(PySequence_Contains(urn_text, n::quote)))
      raise(PyExc_ValueError, "File URN must not contain a single quote");
    Ref filter = new_dict();
    setitem(filter, n::query, join({n::file_urn_filter_head, urn_text, n::quote}));
    setitem(variables, n::filter, filter);
  }
  return call_method(cls, n::_send_request, query, region, token, variables);
}

// *, limit, cursor
Ref get_pagination_variable(const Args& a) {
  PyObject *limit = a[0], *cursor = a[1];
  Ref variable = new_dict();
  if (truthy(cursor)) setitem(variable, n::cursor, cursor);
  if (truthy(limit)) setitem(variable, n::limit, limit);
  return variable;
}

}  // namespace

Ref make_aec_data_model_class() {
  ClassBuilder c(n::_AECDataModelAPI);
  c.doc(" https://developer.brimvale.example/aec-data-model/guide/ ");
  Ref base = format_text(global(n::_BASE_URL));
  c.add(n::GRAPHQL_URL, join({base, graphql_path}));
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
      .impl = get_hubs,
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
