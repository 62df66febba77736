// BrimvaleFile: a file on Brimvale cloud storage, its hub, latest version and element group.
#include "external/brimvale/brimvale.hpp"

namespace brimvale {

using namespace host;

namespace {

const char class_doc[] =
    " ::version(v14.25.0)\n"
    "\n"
    "    Represents a file stored on Brimvale cloud storage (https://www.brimvale.example).\n"
    "\n"
    "    Example:\n"
    "\n"
    "    .. code-block:: python\n"
    "\n"
    "        import zelmar\n"
    "\n"
    "        # Set up OAuth2 integration to get access token\n"
    "        integration = zelmar.external.OAuth2Integration(\"brimvale-integration\")\n"
    "        token = integration.get_access_token()\n"
    "\n"
    "        # Get the BrimvaleFile from a parametrization field\n"
    "        brimvale_file = params.brimvale_file  # value of BrimvaleFileField\n"
    "\n"
    "        # Get the AEC Data Model element group ID (requires API call)\n"
    "        element_group_id = brimvale_file.get_aec_data_model_element_group_id(token)\n"
    "        print(f\"The element group id is: {element_group_id}\")\n"
    "\n"
    "        # Access file properties and metadata:\n"
    "        project_id = brimvale_file.project_id  # Can be extracted from URL\n"
    "        urn = brimvale_file.urn  # Get the unique resource name\n"
    "        hub_id = brimvale_file.get_hub_id(token)  # Requires API call\n"
    "        region = brimvale_file.get_region(token)  # Requires API call\n"
    "    ";

Ref init(const Args& a) {
  PyObject* self = a[0];
  if (!setattr(self, n::_url, a[1]) || !setattr(self, n::_latest_version, Py_None) ||
      !setattr(self, n::_hub, Py_None) || !setattr(self, n::_aec_data_model_element_group, Py_None))
    return {};
  return none();
}

Ref url(const Args& a) { return getattr(a[0], n::_url); }

// _DataManagementAPI.<extractor>(self._url), refused with `message` when it finds nothing.
Ref identifier(PyObject* self, const Name& extractor, const char* message) noexcept {
  Ref api = global(n::_DataManagementAPI);
  Ref extract = api ? getattr(api, extractor) : Ref{};
  Ref url = extract ? getattr(self, n::_url) : Ref{};
  Ref found = url ? call(extract, url) : Ref{};
  const int truth = found ? truthy(found) : -1;
  if (truth < 0) return {};
  if (truth == 0) return raise(PyExc_ValueError, message);
  return found;
}

Ref file_urn(const Args& a) {
  return identifier(a[0], n::extract_item_id_from_url, "Could not extract urn (item id) from URL");
}

Ref project_id(const Args& a) {
  return identifier(a[0], n::extract_project_id_from_url, "Could not extract project id from URL");
}

// getattr(o, name, None) for a name the type's getattr may not find: only an AttributeError
// means "none", and the generic getattr reports it without making one.
Ref attribute_or_none(Borrowed o, Borrowed name) noexcept {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int found = PyObject_GetOptionalAttr(o.get(), name, &value);
#else
  const int found = _PyObject_LookupAttr(o.get(), name, &value);
#endif
  if (found < 0) return failure(o.loc());
  return found > 0 ? Ref::steal(value) : none();
}

// Whether the caught exception is an HTTPError, and then whether its response says the
// server failed (after the session's retries), which says nothing of whether it holds what
// was asked for. The first such error is kept in `server_error`. As in Python:
//
//   except HTTPError as error:
//       status = getattr(getattr(error, "response", None), "status_code", None)
//       if isinstance(status, int) and status >= 500 and server_error is None:
//           server_error = error
//
// 1 for an HTTPError (its status in `status`), 0 for anything else, -1 with the exception of
// the check pending.
int http_error_caught(const Caught& e, Clause clause, Ref& server_error, Ref& status) noexcept {
  Ref http_error = except_http_error(e, clause);
  if (!http_error) return -1;
  if (!e.matches(http_error)) return 0;
  Ref response = attribute_or_none(e.value(), n::response);
  if (!response) return -1;
  // None has no status_code, and its type can gain none.
  status = response.get() == Py_None ? none() : attribute_or_none(response, n::status_code);
  if (!status) return -1;
  if (PyLong_Check(status.get())) {
    const int server = PyObject_RichCompareBool(status, constants.five_hundred, Py_GE);
    if (server < 0) {
      note(Loc::current());
      return -1;
    }
    if (server && !server_error) server_error = Ref::borrow(e.value());
  }
  return 1;
}

// The messages of a GraphQL error answer, {"errors": [{"message": ...}, ...]}, as notes on
// the pending KeyError of its missing data (from 3.11): tracebacks then say why. A note that
// cannot be added is left out; the KeyError stays what it is.
void note_graphql_errors(PyObject* response) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* errors = PyDict_Check(response) ? PyDict_GetItemWithError(response, n::errors) : nullptr;
  Ref held = Ref::borrow(errors);  // reading the errors can run code that drops them
  for (Py_ssize_t i = 0; held && PyList_Check(errors) && i < PyList_GET_SIZE(errors); ++i) {
    Ref error = Ref::borrow(PyList_GET_ITEM(errors, i));
    PyObject* message = PyDict_Check(error.get()) ? PyDict_GetItemWithError(error, n::message) : nullptr;
    Ref text = message != nullptr && PyUnicode_Check(message) ? Ref::steal(PyUnicode_FromFormat("GraphQL error: %U", message))
                                                              : Ref{};
    if (text && value != nullptr) Ref::steal(PyObject_CallMethodOneArg(value, n::add_note, text));
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
#else
  (void)response;
#endif
}

// response["data"], where a GraphQL error answer's null data counts as missing.
Ref graphql_data(const Ref& response, Loc loc = Loc::current()) noexcept {
  if (!response) return {};
  Ref data = getitem(Borrowed(response, loc), n::data);
  if (data.get() == Py_None) {
    PyErr_SetObject(PyExc_KeyError, n::data);
    data = failure(loc);
  }
  if (!data && PyErr_ExceptionMatches(PyExc_KeyError)) note_graphql_errors(response);
  return data;
}

// record.get("id", None); an exact dict is read directly.
Ref id_or_none(PyObject* record) noexcept {
  if (PyDict_CheckExact(record)) {
    PyObject* value = PyDict_GetItemWithError(record, n::id);
    if (value != nullptr) return Ref::borrow(value);
    return PyErr_Occurred() ? failure() : none();
  }
  return call_method(record, n::get, n::id, Py_None);
}

// `if self.<cache>:` for one of the handle's caches: 1 when filled (and read again by the
// caller, as `return self.<cache>` reads it), 0 when empty, -1 on failure.
int cached(PyObject* self, const Name& cache) noexcept {
  Ref value = getattr(self, cache);
  return value ? truthy(value) : -1;
}

// What each hub probe of a search met, as notes on its "No hub found" (from 3.11): a 403 and
// a 404 are then told apart without reading messages. As in Python:
//
//   tried.append(f"hub {hub_id}: status {status}" if isinstance(status, int)
//                else f"hub {hub_id}: {type(error).__name__}")
//   ...
//   error = ValueError("No hub found")
//   for note in tried:
//       error.add_note(note)
//   raise error
class HubsTried {
 public:
  // False with the exception pending.
  bool add(PyObject* hub_id, PyObject* code, PyObject* error) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    const bool has_status = PyLong_Check(code);
    Ref id = format_text(hub_id);
    Ref met = !id ? Ref{} : has_status ? format_text(code) : result(PyType_GetName(Py_TYPE(error)), Loc::current());
    if (!met) return false;
    Ref note = result(PyUnicode_FromFormat(has_status ? "hub %U: status %U" : "hub %U: %U", id.get(), met.get()),
                      Loc::current());
    if (!note || (!notes_ && !(notes_ = new_list()))) return false;
    return status(PyList_Append(notes_, note), Loc::current());
#else
    (void)hub_id, (void)code, (void)error;
    return true;
#endif
  }

  Ref raise_not_found(Loc loc = Loc::current()) noexcept {
    Ref error = result(PyObject_CallFunction(PyExc_ValueError, "s", "No hub found"), loc);
    if (!error) return {};
    for (Py_ssize_t i = 0; notes_ && i < PyList_GET_SIZE(notes_.get()); ++i)
      if (!call_method(Borrowed(error, loc), n::add_note, Ref::borrow(PyList_GET_ITEM(notes_.get(), i)))) return {};
    PyErr_SetObject(PyExc_ValueError, error);
    return failure(loc);
  }

 private:
  Ref notes_;
};

// The first listed hub, among those with an id, under which the file's project can be
// fetched with this token; cached on the handle.
Ref find_hub(const Args& a) {
  PyObject* self = a[0];
  PyObject* token = a[1];
  if (const int known = cached(self, n::_hub); known != 0) return known < 0 ? Ref{} : getattr(self, n::_hub);

  Ref hubs = [&]() -> Ref {
    Ref api = global(n::_DataManagementAPI);
    if (!api) return {};
    Ref answer = call_method_kw(api, n::get_hubs, n::kw_access_token, token);
    if (!answer) return {};
    return getitem(answer, n::data);
  }();
  if (!hubs) {
    Caught e;
    Ref http_error = except_http_error(e, Clause::in_tuple);
    if (!http_error) return {};
    if (!e.matches(http_error, PyExc_KeyError)) return e.reraise();
    return e.raise_from(PyExc_ValueError, "Request to get hubs from Brimvale Platform Services failed");
  }

  Ref iterator = iterate(hubs);
  if (!iterator) return {};
  Ref hub, server_error, status;
  HubsTried tried;
  while (true) {
    const int more = next(iterator, hub);
    if (more <= 0) {
      if (more < 0) return {};
      break;
    }
    Ref hub_id = id_or_none(hub);
    if (!hub_id) return {};
    const int has_id = truthy(hub_id);
    if (has_id < 0) return {};
    if (has_id == 0) continue;
    Ref answer = [&]() -> Ref {
      Ref project = getattr(self, n::project_id);
      if (!project) return {};
      Ref api = global(n::_DataManagementAPI);
      if (!api) return {};
      // Only its success counts.
      return call_method_kw(api, n::get_project, n::kw_get_project, hub_id, project, token);
    }();
    if (!answer) {
      Caught e;
      const int http = http_error_caught(e, Clause::alone, server_error, status);
      if (http < 0 || (http && !tried.add(hub_id, status, e.value()))) return {};
      if (http) continue;  // not this hub's project, or the server failed: try the next either way
      if (e.matches(PyExc_ValueError))
        return e.raise_from(PyExc_ValueError, "Request to get project from Brimvale Platform Services failed");
      return e.reraise();
    }
    if (!setattr(self, n::_hub, hub)) return {};
    return getattr(self, n::_hub);
  }
  // A hub that failed might have held the project: that is no "not found".
  if (server_error)
    return raise_from(PyExc_ValueError, "Request to get project from Brimvale Platform Services failed", server_error);
  return tried.raise_not_found();
}

Ref get_hub_id(const Args& a) {
  Ref hub = call_method(a[0], n::_get_hub, a[1]);
  Ref id = hub ? getitem(hub, n::id) : Ref{};
  if (id) return id;
  Caught e;
  if (!e.matches(PyExc_ValueError, PyExc_KeyError)) return e.reraise();
  return e.raise_from(PyExc_ValueError, "Could not obtain hub id");
}

Ref get_region(const Args& a) {
  Ref hub = call_method(a[0], n::_get_hub, a[1]);
  Ref attributes = hub ? getitem(hub, n::attributes) : Ref{};
  Ref region = attributes ? getitem(attributes, n::region) : Ref{};
  if (region) return region;
  Caught e;
  if (!e.matches(PyExc_ValueError)) return e.reraise();
  return e.raise_from(PyExc_ValueError, "Could not obtain hub region");
}

Ref get_latest_version(const Args& a) {
  PyObject* self = a[0];
  PyObject* token = a[1];
  if (const int known = cached(self, n::_latest_version); known != 0)
    return known < 0 ? Ref{} : getattr(self, n::_latest_version);

  Ref data = [&]() -> Ref {
    Ref project = getattr(self, n::project_id);
    Ref item_id = project ? getattr(self, n::urn) : Ref{};
    Ref api = item_id ? global(n::_DataManagementAPI) : Ref{};
    if (!api) return {};
    Ref answer = call_method_kw(api, n::get_item_tip, n::kw_get_item_tip, project, item_id, token);
    if (!answer) return {};
    return getitem(answer, n::data);
  }();
  if (!data) {
    Caught e;
    Ref http_error = except_http_error(e, Clause::in_tuple);
    if (!http_error) return {};
    if (!e.matches(PyExc_ValueError, http_error, PyExc_KeyError)) return e.reraise();
    return e.raise_from(PyExc_ValueError, "Request to get latest item version from Brimvale Platform Services failed");
  }
  Ref version_class = global(n::BrimvaleFileVersion);
  Ref version = version_class ? call_kw(version_class, n::kw_file_version, token, data) : Ref{};
  if (!version || !setattr(self, n::_latest_version, version)) return {};
  return getattr(self, n::_latest_version);
}

bool extend(const Ref& list, PyObject* iterable) noexcept {
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
    // Items of a list or tuple are copied in one step.
    const Py_ssize_t end = PyList_GET_SIZE(list.get());
    return status(PyList_SetSlice(list, end, end, iterable), Loc::current());
  }
  Ref iterator = iterate(iterable);
  if (!iterator) return false;
  Ref element;
  int more;
  while ((more = next(iterator, element)) > 0)
    if (!status(PyList_Append(list, element), Loc::current())) return false;
  return more == 0;
}

// `cursor is None or cursor == ""`: 1 when the listing ends there, 0 when not, -1 on failure.
// Anything but an exact str compares with its own __eq__.
int last_cursor(PyObject* cursor) noexcept {
  if (cursor == Py_None) return 1;
  if (PyUnicode_CheckExact(cursor)) return PyUnicode_GET_LENGTH(cursor) == 0;
  Ref equal = result(PyObject_RichCompare(cursor, constants.empty, Py_EQ), Loc::current());
  return equal ? truthy(equal) : -1;
}

// Cursors already asked for in one listing: a set, with a list for the odd unhashable one.
class SeenCursors {
 public:
  // 1 when the cursor is new (and now remembered), 0 when it was seen before, -1 on failure.
  int add(PyObject* cursor) noexcept {
    if (!hashable_ && !(hashable_ = result(PySet_New(nullptr), Loc::current()))) return -1;
    if (PyObject_Hash(cursor) == -1) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
      PyErr_Clear();
      if (!unhashable_ && !(unhashable_ = new_list())) return -1;
      const int seen = PySequence_Contains(unhashable_, cursor);
      if (seen != 0) return seen < 0 ? -1 : 0;
      return PyList_Append(unhashable_, cursor) < 0 ? -1 : 1;
    }
    const int seen = PySet_Contains(hashable_, cursor);
    if (seen != 0) return seen < 0 ? -1 : 0;
    return PySet_Add(hashable_, cursor) < 0 ? -1 : 1;
  }

 private:
  Ref hashable_, unhashable_;
};

// _AECDataModelAPI.get_hubs(region=region, access_token=token, cursor=cursor)
Ref aec_hub_page(PyObject* region, PyObject* token, PyObject* cursor) noexcept {
  Ref api = global(n::_AECDataModelAPI);
  if (!api) return {};
  return call_method_kw(api, n::get_hubs, n::kw_aec_hubs, region, token, cursor);
}

// A listing longer than this is a service that never ends it.
constexpr long max_hub_pages = 10000;

// Every AEC Data Model hub of the file's region, page after page.
Ref list_aec_hubs(PyObject* region, PyObject* token) {
  bool endless = false;  // the listing was found to have no end, and the error said so is pending
  Ref hubs = [&]() -> Ref {
    Ref gathered = new_list();
    if (!gathered) return {};
    SeenCursors seen;
    Ref cursor = none();
    for (long pages = 1;; ++pages) {
      Ref page = graphql_data(aec_hub_page(region, token, cursor));
      if (!page || !(page = getitem(page, n::hubs))) return {};
      Ref results = getitem(page, n::results);
      if (!results || !extend(gathered, results)) return {};
      Ref pagination = getitem(page, n::pagination);
      if (!pagination || !(cursor = getitem(pagination, n::cursor))) return {};
      // An empty cursor ends the listing like a null one; a cursor asked for before would
      // repeat the same pages without end, and so would a service that never stops.
      const int last = last_cursor(cursor);
      if (last != 0) return last < 0 ? Ref{} : std::move(gathered);
      const int fresh = seen.add(cursor);
      if (fresh < 0) return failure();
      if (fresh == 0 || pages == max_hub_pages) {
        endless = true;
        return raise(PyExc_ValueError, fresh == 0 ? "Repeated pagination cursor" : "Too many pagination pages");
      }
    }
  }();
  if (hubs) return hubs;
  // except (HTTPError, KeyError, <a listing without end>): the clause is evaluated either way.
  // The listing's own error is the ValueError raised for it, not a MemoryError met making it.
  Caught e;
  Ref http_error = except_http_error(e, Clause::in_tuple);
  if (!http_error) return {};
  if (!(endless && e.matches(PyExc_ValueError)) && !e.matches(http_error, PyExc_KeyError)) return e.reraise();
  return e.raise_from(PyExc_ValueError, "Request to get AEC Data Model hubs from Brimvale Platform Services failed");
}

// The element-group id of the file asked of one hub; an empty Ref with the exception pending
// when the hub gives none. `none_found` is set, without an exception, for an empty result.
Ref ask_hub(PyObject* self, PyObject* hub, PyObject* region, PyObject* token, bool& none_found) {
  Ref api = global(n::_AECDataModelAPI);
  if (!api) return {};
  Ref request = getattr(api, n::get_element_groups_by_hub);
  if (!request) return {};
  Ref hub_id = getitem(hub, n::id);
  if (!hub_id) return {};
  Ref urn = getattr(self, n::urn);
  if (!urn) return {};
  Ref answer = call_kw(request, n::kw_element_groups, hub_id, region, token, urn);
  Ref groups = graphql_data(answer);
  if (!groups || !(groups = getitem(groups, n::elementGroupsByHub)) || !(groups = getitem(groups, n::results))) return {};
  if (PyList_CheckExact(groups.get()) && PyList_GET_SIZE(groups.get()) == 0) {
    // The IndexError of groups[0] would only be caught and dropped: skip making it.
    none_found = true;
    return {};
  }
  Ref group = getitem(groups, constants.zero);
  if (!group) return {};
  // The id first: a record without one is skipped and never reaches the cache.
  Ref group_id = getitem(group, n::id);
  if (!group_id || !setattr(self, n::_aec_data_model_element_group, group)) return {};
  return group_id;
}

Ref get_aec_data_model_element_group_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* token = a[1];
  if (const int known = cached(self, n::_aec_data_model_element_group); known != 0) {
    Ref group = known < 0 ? Ref{} : getattr(self, n::_aec_data_model_element_group);
    return group ? getitem(group, n::id) : Ref{};
  }

  Ref region = call_method(self, n::get_region, token);
  if (!region) return {};
  Ref hubs = list_aec_hubs(region, token);
  if (!hubs) return {};

  Ref iterator = iterate(hubs);
  if (!iterator) return {};
  Ref hub, server_error, status;
  int more;
  while ((more = next(iterator, hub)) > 0) {
    bool none_found = false;
    Ref group_id = ask_hub(self, hub, region, token, none_found);
    if (group_id) return group_id;
    if (none_found) continue;
    Caught e;
    const int http = http_error_caught(e, Clause::in_tuple, server_error, status);
    if (http < 0) return {};
    if (http || e.matches(PyExc_KeyError, PyExc_IndexError)) continue;
    if (e.matches(PyExc_ValueError))
      return e.raise_from(PyExc_ValueError,
                          "Request to get AEC Data Model element groups from Brimvale Platform Services failed");
    return e.reraise();
  }
  if (more < 0) return {};
  if (server_error)
    return raise_from(PyExc_ValueError,
                      "Request to get AEC Data Model element groups from Brimvale Platform Services failed",
                      server_error);
  return raise(PyExc_ValueError, "AEC Data Model Element Group ID not found");
}

}  // namespace

Ref make_file_class() noexcept {
  ClassBuilder c(n::BrimvaleFile);
  c.doc(class_doc);
  c.method({
      .name = "__init__",
      .positional = {"self", "url"},
      .annotations = {{"url", "str"}},
      .impl = init,
  });
  c.property({
      .name = "url",
      .positional = {"self"},
      .annotations = {{"return", "str"}},
      .doc = " URL of the file on Brimvale cloud storage. ",
      .impl = url,
  });
  c.property({
      .name = "urn",
      .positional = {"self"},
      .annotations = {{"return", "str"}},
      .doc = " ::version(v14.26.0)\n\n"
             "        Get the unique resource name (also called \"id\") of this file on Brimvale cloud storage.\n"
             "        ",
      .impl = file_urn,
  });
  c.property({
      .name = "project_id",
      .positional = {"self"},
      .annotations = {{"return", "str"}},
      .doc = " ::version(v14.26.0)\n\n        Get the id of the project this file belongs to.\n        ",
      .impl = project_id,
  });
  c.method({
      .name = "get_hub_id",
      .positional = {"self", "access_token"},
      .annotations = {{"access_token", "str"}, {"return", "str"}},
      .doc = " ::version(v14.26.0)\n\n        Get the id of the hub this file belongs to.\n        ",
      .impl = get_hub_id,
  });
  c.method({
      .name = "get_region",
      .positional = {"self", "access_token"},
      .annotations = {{"access_token", "str"}, {"return", "str"}},
      .doc = " ::version(v14.26.0)\n\n        Get the region of the hub this file belongs to.\n        ",
      .impl = get_region,
  });
  c.method({
      .name = "get_latest_version",
      .positional = {"self", "access_token"},
      .annotations = {{"access_token", "str"}, {"return", "BrimvaleFileVersion"}},
      .doc = "\n"
             "        Get the latest version of the file on Brimvale cloud storage.\n"
             "\n"
             "        :param access_token: Brimvale Platform Services token to access the file.\n"
             "        ",
      .impl = get_latest_version,
  });
  c.method({
      .name = "get_aec_data_model_element_group_id",
      .positional = {"self", "access_token"},
      .annotations = {{"access_token", "str"}, {"return", "str"}},
      .doc = " ::version(v14.26.0)\n\n        Get the AEC Data Model ElementGroup ID associated with this file.\n        ",
      .impl = get_aec_data_model_element_group_id,
  });
  c.method({
      .name = "_get_hub",
      .positional = {"self", "access_token"},
      .annotations = {{"access_token", "str"}, {"return", "dict"}},
      .impl = find_hub,
  });
  return c.create();
}

}  // namespace brimvale
