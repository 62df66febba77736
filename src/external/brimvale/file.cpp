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
  setattr(self, n::_url, a[1]);
  setattr(self, n::_latest_version, Py_None);
  setattr(self, n::_hub, Py_None);
  setattr(self, n::_aec_data_model_element_group, Py_None);
  return none();
}

Ref url(const Args& a) { return getattr(a[0], n::_url); }

Ref urn(const Args& a) {
  Ref extract = getattr(global(n::_DataManagementAPI), n::extract_item_id_from_url);
  Ref item_id = call(extract, getattr(a[0], n::_url));
  if (!truthy(item_id)) raise(PyExc_ValueError, "Could not extract urn (item id) from URL");
  return item_id;
}

Ref project_id(const Args& a) {
  Ref extract = getattr(global(n::_DataManagementAPI), n::extract_project_id_from_url);
  Ref project = call(extract, getattr(a[0], n::_url));
  if (!truthy(project)) raise(PyExc_ValueError, "Could not extract project id from URL");
  return project;
}

// An HTTPError whose response has a status of 500 or more: the server failed (after the
// session's retries), which says nothing about whether it holds what was asked for.
bool is_server_error(PyObject* exception) noexcept {
  PyObject* response = PyObject_GetAttr(exception, n::response);
  if (response == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* status = response == Py_None ? nullptr : PyObject_GetAttr(response, n::status_code);
  Py_DECREF(response);
  if (status == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool server = false;
  if (PyLong_Check(status)) {
    int overflow = 0;
    const long code = PyLong_AsLongAndOverflow(status, &overflow);
    server = overflow > 0 || code >= 500;
  }
  Py_DECREF(status);
  return server;
}

// response["data"], where a GraphQL error answer's null data counts as missing.
Ref data_member(const Ref& response, Loc loc = Loc::current()) {
  Ref data = getitem(Obj(response, loc), n::data);
  if (data.get() == Py_None) {
    PyErr_SetObject(PyExc_KeyError, n::data);
    fail(loc);
  }
  return data;
}

// raise ValueError(message) from cause, outside any handler.
[[noreturn]] void raise_caused_by(const Ref& cause, const char* message, Loc loc = Loc::current()) {
  Ref exception = check(PyObject_CallFunction(PyExc_ValueError, "s", message), loc);
  PyException_SetCause(exception, cause.new_ref());
  PyErr_SetObject(PyExc_ValueError, exception);
  fail(loc);
}

// The first listed hub, among those with an id, under which the file's project can be
// fetched with this token; cached on the handle.
Ref get_hub(const Args& a) {
  PyObject* self = a[0];
  PyObject* token = a[1];
  Ref cached = getattr(self, n::_hub);
  if (truthy(cached)) return cached;

  Ref hubs;
  try {
    Ref request = getattr(global(n::_DataManagementAPI), n::get_hubs);
    hubs = getitem(call_kw(request, n::kw_access_token, token), n::data);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(global(n::HTTPError), PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Request to get hubs from Brimvale Platform Services failed");
  }

  Ref iterator = iterate(hubs);
  Ref hub, server_error;
  while (next(iterator, hub)) {
    Ref hub_id = call_method(hub, n::get, n::id, Py_None);
    if (!truthy(hub_id)) continue;
    try {
      Ref project = getattr(self, n::project_id);
      Ref request = getattr(global(n::_DataManagementAPI), n::get_project);
      call_kw(request, n::kw_get_project, hub_id, project, token);  // only its success counts
    } catch (const PythonError&) {
      Caught e;
      if (e.matches(global(n::HTTPError))) {
        // Not this hub's project, or the server failed: try the next either way.
        if (server_error.get() == nullptr && is_server_error(e.value())) server_error = Ref::borrow(e.value());
        continue;
      }
      if (e.matches(PyExc_ValueError))
        e.raise_from(PyExc_ValueError, "Request to get project from Brimvale Platform Services failed");
      e.reraise();
    }
    setattr(self, n::_hub, hub);
    return getattr(self, n::_hub);
  }
  // A hub that failed might have held the project: that is no "not found".
  if (server_error.get() != nullptr)
    raise_caused_by(server_error, "Request to get project from Brimvale Platform Services failed");
  raise(PyExc_ValueError, "No hub found");
}

Ref get_hub_id(const Args& a) {
  try {
    return getitem(call_method(a[0], n::_get_hub, a[1]), n::id);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_ValueError, PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Could not obtain hub id");
  }
}

Ref get_region(const Args& a) {
  try {
    return getitem(getitem(call_method(a[0], n::_get_hub, a[1]), n::attributes), n::region);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_ValueError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Could not obtain hub region");
  }
}

Ref get_latest_version(const Args& a) {
  PyObject* self = a[0];
  PyObject* token = a[1];
  Ref cached = getattr(self, n::_latest_version);
  if (truthy(cached)) return cached;

  Ref data;
  try {
    Ref project = getattr(self, n::project_id);
    Ref item = getattr(self, n::urn);
    Ref request = getattr(global(n::_DataManagementAPI), n::get_item_tip);
    data = getitem(call_kw(request, n::kw_get_item_tip, project, item, token), n::data);
  } catch (const PythonError&) {
    Caught e;
    if (!e.matches(PyExc_ValueError, global(n::HTTPError), PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Request to get latest item version from Brimvale Platform Services failed");
  }
  Ref version = call_kw(global(n::BrimvaleFileVersion), n::kw_file_version, token, data);
  setattr(self, n::_latest_version, version);
  return getattr(self, n::_latest_version);
}

void extend(const Ref& list, Borrowed iterable) {
  Ref iterator = iterate(iterable);
  Ref item;
  while (next(iterator, item)) check_status(PyList_Append(list, item));
}

bool is_empty_str(PyObject* value) { return PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) == 0; }

// Cursors already asked for in one listing: a set, with a list for the odd unhashable one.
class SeenCursors {
 public:
  // False when the cursor was seen before; otherwise remembers it.
  bool add(PyObject* cursor) {
    if (PyObject_Hash(cursor) == -1) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) fail();
      PyErr_Clear();
      if (check_status(PySequence_Contains(unhashable_, cursor))) return false;
      check_status(PyList_Append(unhashable_, cursor));
      return true;
    }
    if (check_status(PySet_Contains(hashable_, cursor))) return false;
    check_status(PySet_Add(hashable_, cursor));
    return true;
  }

 private:
  Ref hashable_ = check(PySet_New(nullptr));
  Ref unhashable_ = new_list();
};

// A listing longer than this is a service that never ends it.
constexpr long max_hub_pages = 10000;

// Every AEC Data Model hub of the file's region, page after page.
Ref list_aec_hubs(PyObject* region, PyObject* token) {
  Ref hubs = new_list();
  bool endless = false;
  try {
    SeenCursors seen;
    Ref cursor = none();
    for (long pages = 1;; ++pages) {
      Ref request = getattr(global(n::_AECDataModelAPI), n::get_hubs);
      Ref page = getitem(data_member(call_kw(request, n::kw_aec_hubs, region, token, cursor)), n::hubs);
      extend(hubs, getitem(page, n::results));
      cursor = getitem(getitem(page, n::pagination), n::cursor);
      // An empty cursor ends the listing like a null one; a cursor asked for before would
      // repeat the same pages without end, and so would a service that never stops.
      if (cursor.get() == Py_None || is_empty_str(cursor)) break;
      if (!seen.add(cursor)) {
        endless = true;
        raise(PyExc_ValueError, "Repeated pagination cursor");
      }
      if (pages == max_hub_pages) {
        endless = true;
        raise(PyExc_ValueError, "Too many pagination pages");
      }
    }
  } catch (const PythonError&) {
    Caught e;
    if (!endless && !e.matches(global(n::HTTPError), PyExc_KeyError)) e.reraise();
    e.raise_from(PyExc_ValueError, "Request to get AEC Data Model hubs from Brimvale Platform Services failed");
  }
  return hubs;
}

Ref get_aec_data_model_element_group_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* token = a[1];
  Ref cached = getattr(self, n::_aec_data_model_element_group);
  if (truthy(cached)) return getitem(cached, n::id);

  Ref region = call_method(self, n::get_region, token);
  Ref hubs = list_aec_hubs(region, token);

  Ref iterator = iterate(hubs);
  Ref hub, server_error;
  while (next(iterator, hub)) {
    try {
      Ref request = getattr(global(n::_AECDataModelAPI), n::get_element_groups_by_hub);
      Ref hub_id = getitem(hub, n::id);
      Ref file_urn = getattr(self, n::urn);
      Ref answer = call_kw(request, n::kw_element_groups, hub_id, region, token, file_urn);
      Ref groups = getitem(getitem(data_member(answer), n::elementGroupsByHub), n::results);
      Ref group = getitem(groups, constants.zero);
      // The id first: a record without one is skipped and never reaches the cache.
      Ref group_id = getitem(group, n::id);
      setattr(self, n::_aec_data_model_element_group, group);
      return group_id;
    } catch (const PythonError&) {
      Caught e;
      if (e.matches(global(n::HTTPError), PyExc_KeyError, PyExc_IndexError)) {
        if (server_error.get() == nullptr && e.matches(global(n::HTTPError)) && is_server_error(e.value()))
          server_error = Ref::borrow(e.value());
        continue;
      }
      if (e.matches(PyExc_ValueError))
        e.raise_from(PyExc_ValueError,
                     "Request to get AEC Data Model element groups from Brimvale Platform Services failed");
      e.reraise();
    }
  }
  if (server_error.get() != nullptr)
    raise_caused_by(server_error,
                    "Request to get AEC Data Model element groups from Brimvale Platform Services failed");
  raise(PyExc_ValueError, "AEC Data Model Element Group ID not found");
}

}  // namespace

Ref make_file_class() {
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
      .impl = urn,
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
      .impl = get_hub,
  });
  return c.create();
}

}  // namespace brimvale
