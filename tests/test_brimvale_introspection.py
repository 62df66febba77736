"""What introspection shows of the module's classes and members."""
import inspect
import pickle
import pydoc
from pathlib import Path
import weakref

import pytest

M = "::version(v14.26.0)"


def marked(sentence):
    return f" {M}\n\n        {sentence}\n        "


MEMBERS = [
    # class, member, kind, signature, annotations, documentation
    ("BrimvaleFileVersion", "urn", "property", "(self) -> 'str'", {"return": "str"},
     ' Get the unique resource name (also called "id") of this version of the file on Brimvale cloud storage. '),
    ("BrimvaleFileVersion", "attributes", "property", "(self) -> 'dict'", {"return": "dict"},
     " Get the attributes of this version of the file on Brimvale cloud storage. "),
    ("BrimvaleFileVersion", "storage_url", "property", "(self) -> 'Optional[str]'", {"return": "Optional[str]"},
     marked("Get the storage URL of this version of the file.")),
    ("BrimvaleFileVersion", "get_file", "method", "(self) -> 'File'", {"return": "File"},
     " Download the content of this version of the file from Brimvale cloud storage. "),
    ("BrimvaleFile", "__init__", "method", "(self, url: 'str')", {"url": "str"}, None),
    ("BrimvaleFile", "url", "property", "(self) -> 'str'", {"return": "str"},
     " URL of the file on Brimvale cloud storage. "),
    ("BrimvaleFile", "urn", "property", "(self) -> 'str'", {"return": "str"},
     marked('Get the unique resource name (also called "id") of this file on Brimvale cloud storage.')),
    ("BrimvaleFile", "project_id", "property", "(self) -> 'str'", {"return": "str"},
     marked("Get the id of the project this file belongs to.")),
    ("BrimvaleFile", "get_hub_id", "method", "(self, access_token: 'str') -> 'str'",
     {"access_token": "str", "return": "str"}, marked("Get the id of the hub this file belongs to.")),
    ("BrimvaleFile", "get_region", "method", "(self, access_token: 'str') -> 'str'",
     {"access_token": "str", "return": "str"}, marked("Get the region of the hub this file belongs to.")),
    ("BrimvaleFile", "get_latest_version", "method", "(self, access_token: 'str') -> 'BrimvaleFileVersion'",
     {"access_token": "str", "return": "BrimvaleFileVersion"},
     "\n        Get the latest version of the file on Brimvale cloud storage.\n\n"
     "        :param access_token: Brimvale Platform Services token to access the file.\n        "),
    ("BrimvaleFile", "get_aec_data_model_element_group_id", "method", "(self, access_token: 'str') -> 'str'",
     {"access_token": "str", "return": "str"}, marked("Get the AEC Data Model ElementGroup ID associated with this file.")),
    ("BrimvaleFile", "_get_hub", "method", "(self, access_token: 'str') -> 'dict'",
     {"access_token": "str", "return": "dict"}, None),
    ("_DataManagementAPI", "_extract_element_id_from_url", "staticmethod",
     "(*, url: 'str', element_category: 'str') -> 'Optional[str]'",
     {"url": "str", "element_category": "str", "return": "Optional[str]"}, None),
    *[("_DataManagementAPI", name, "classmethod", "(cls, url: 'str') -> 'Optional[str]'",
       {"url": "str", "return": "Optional[str]"}, None)
      for name in ["extract_project_id_from_url", "extract_item_id_from_url", "extract_bucket_key_from_url",
                   "extract_object_key_from_url"]],
    ("_DataManagementAPI", "get_item_tip", "classmethod",
     "(cls, *, project_id: 'str', item_id: 'str', access_token: 'str') -> 'dict'",
     {"project_id": "str", "item_id": "str", "access_token": "str", "return": "dict"}, "link"),
    ("_DataManagementAPI", "get_signed_s3_url", "classmethod",
     "(cls, *, bucket_key: 'str', object_key: 'str', access_token: 'str') -> 'dict'",
     {"bucket_key": "str", "object_key": "str", "access_token": "str", "return": "dict"}, "link"),
    ("_DataManagementAPI", "get_hubs", "classmethod", "(cls, *, access_token: 'str') -> 'dict'",
     {"access_token": "str", "return": "dict"}, "link"),
    ("_DataManagementAPI", "get_hub", "classmethod", "(cls, *, hub_id: 'str', access_token: 'str') -> 'dict'",
     {"hub_id": "str", "access_token": "str", "return": "dict"}, "link"),
    ("_DataManagementAPI", "get_project", "classmethod",
     "(cls, *, hub_id: 'str', project_id: 'str', access_token: 'str') -> 'dict'",
     {"hub_id": "str", "project_id": "str", "access_token": "str", "return": "dict"}, "link"),
    ("_AECDataModelAPI", "_send_request", "classmethod",
     "(cls, query: 'str', region: 'str', access_token: 'str', variables: 'Optional[dict]' = None) -> 'dict'",
     {"query": "str", "region": "str", "access_token": "str", "variables": "Optional[dict]", "return": "dict"}, None),
    ("_AECDataModelAPI", "get_hubs", "classmethod",
     "(cls, *, region: 'str', access_token: 'str', limit: 'int' = None, cursor: 'str' = None) -> 'dict'",
     {"region": "str", "access_token": "str", "limit": "int", "cursor": "str", "return": "dict"}, "link"),
    ("_AECDataModelAPI", "get_element_groups_by_hub", "classmethod",
     "(cls, *, hub_id: 'str', region: 'str', access_token: 'str', file_urn: 'Optional[str]' = None, "
     "limit: 'int' = None, cursor: 'str' = None) -> 'dict'",
     {"hub_id": "str", "region": "str", "access_token": "str", "file_urn": "Optional[str]", "limit": "int",
      "cursor": "str", "return": "dict"}, "link"),
    ("_AECDataModelAPI", "_get_pagination_variable", "staticmethod",
     "(*, limit: 'int' = None, cursor: 'str' = None) -> 'dict'",
     {"limit": "int", "cursor": "str", "return": "dict"}, None),
]


def raw_function(cls, name, kind):
    member = vars(cls)[name]
    assert type(member).__name__ == {"method": "compiled_function"}.get(kind, kind)
    return member.fget if kind == "property" else member.__func__ if kind in ("classmethod", "staticmethod") else member


@pytest.mark.parametrize("cls_name, name, kind, signature, annotations, doc", MEMBERS)
def test_member(brimvale, cls_name, name, kind, signature, annotations, doc):
    cls = getattr(brimvale, cls_name)
    function = raw_function(cls, name, kind)
    assert str(inspect.signature(function)) == signature
    assert function.__annotations__ == annotations
    assert function.__name__ == name
    assert function.__qualname__ == f"{cls_name}.{name}"
    assert function.__module__ == "zelmar.external.brimvale"
    assert function.__globals__ is vars(brimvale)
    if doc == "link":
        assert function.__doc__.startswith(" https://") and function.__doc__.endswith("/ ")
    else:
        assert function.__doc__ == doc
    if kind == "property":
        assert vars(cls)[name].__doc__ == doc
        assert vars(cls)[name].fset is None and vars(cls)[name].fdel is None
    code = function.__code__
    parameters = list(inspect.signature(function).parameters)
    assert code.co_varnames[: len(parameters)] == tuple(parameters)
    assert code.co_name == name


def test_member_order(brimvale):
    def own(cls):
        return [k for k, v in vars(cls).items() if callable(v) or isinstance(v, (property, classmethod, staticmethod))]

    for cls_name in ["BrimvaleFileVersion", "BrimvaleFile", "_DataManagementAPI", "_AECDataModelAPI"]:
        expected = [name for c, name, *_ in MEMBERS if c == cls_name]
        # dataclass adds its generated methods after the class body's members.
        assert own(getattr(brimvale, cls_name))[: len(expected)] == expected


def test_defaults(brimvale):
    api = brimvale._AECDataModelAPI
    assert api.get_hubs.__kwdefaults__ == {"limit": None, "cursor": None}
    assert api.get_hubs.__defaults__ is None
    assert api.get_element_groups_by_hub.__kwdefaults__ == {"file_urn": None, "limit": None, "cursor": None}
    assert api._send_request.__defaults__ == (None,)
    assert api._send_request.__kwdefaults__ is None
    assert brimvale.BrimvaleFile.get_hub_id.__defaults__ is None


@pytest.mark.parametrize(
    "cls_name, start",
    [
        ("BrimvaleFileVersion", " ::version(v14.25.0)\n\n    .. warning:: Do not instantiate this class directly, "
                                "it is created from :class:`BrimvaleFile`.\n    "),
        ("BrimvaleFile", " ::version(v14.25.0)\n\n    Represents a file stored on Brimvale cloud storage"),
        ("_DataManagementAPI", " https://"),
        ("_AECDataModelAPI", " https://"),
    ],
)
def test_classes(brimvale, cls_name, start):
    cls = getattr(brimvale, cls_name)
    assert cls.__doc__.startswith(start)
    assert cls.__module__ == "zelmar.external.brimvale"
    assert cls.__qualname__ == cls.__name__ == cls_name
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert "__slots__" not in vars(cls)


def test_file_class_example(brimvale):
    doc = brimvale.BrimvaleFile.__doc__
    for line in ['OAuth2Integration("brimvale-integration")', "get_access_token()", "params.brimvale_file",
                 "# value of BrimvaleFileField", 'print(f"The element group id is: {element_group_id}")',
                 ".get_aec_data_model_element_group_id(token)", ".project_id  # Can be extracted from URL",
                 ".urn  # Get the unique resource name", ".get_hub_id(token)  # Requires API call",
                 ".get_region(token)  # Requires API call", ".. code-block:: python"]:
        assert line in doc
    assert doc.endswith("\n    ")


def test_class_annotations(brimvale):
    assert brimvale.BrimvaleFileVersion.__annotations__ == {"_access_token": "str", "_data": "dict"}
    assert "_access_token" not in vars(brimvale.BrimvaleFileVersion)  # the field() left with dataclass


def test_class_attributes_are_built_once(brimvale, monkeypatch):
    monkeypatch.setattr(brimvale, "_BASE_URL", "http://changed")
    assert brimvale._DataManagementAPI.DATA_BASE_URL.startswith("https://")
    assert brimvale._AECDataModelAPI.GRAPHQL_URL == "https://api.brimvale.example/aec/graphql"


def test_functions_behave_like_python_functions(brimvale):
    function = brimvale.BrimvaleFile.get_hub_id
    file = brimvale.BrimvaleFile("u")
    bound = file.get_hub_id
    assert bound.__self__ is file and bound.__func__ is function
    assert str(inspect.signature(bound)) == "(access_token: 'str') -> 'str'"
    assert function.__get__(None, brimvale.BrimvaleFile) is function
    assert repr(function).startswith("<function BrimvaleFile.get_hub_id at 0x")
    assert pickle.loads(pickle.dumps(function)) is function
    assert weakref.ref(function)() is function
    function.custom = 1
    assert function.__dict__ == {"custom": 1}
    del function.custom
    with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
        function.__defaults__ = 1
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        function.__name__ = 5
    assert inspect.isroutine(function) and not inspect.isfunction(function)
    # pydoc shows the signature as it shows a Python function's with the same string annotations
    class Twin:
        def get_hub_id(self, access_token: "str") -> "str": ...

    [twin] = [line.strip(" |") for line in pydoc.plain(pydoc.render_doc(Twin)).splitlines() if "get_hub_id(" in line]
    assert twin.startswith("get_hub_id(self, access_token: ") and twin in pydoc.plain(pydoc.render_doc(brimvale.BrimvaleFile))


def test_code_objects(brimvale):
    code = brimvale._AECDataModelAPI.get_element_groups_by_hub.__code__
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount) == (1, 6, 0)
    assert code.co_varnames == ("cls", "hub_id", "region", "access_token", "file_urn", "limit", "cursor")
    assert code.co_nlocals == len(code.co_varnames)
    assert code.co_filename == "src/external/brimvale/aec_data_model.cpp"


def test_the_reference_says_what_every_public_member_raises(brimvale):
    import importlib.util

    import zelmar.external.dunmere as dunmere

    path = Path(__file__).resolve().parent.parent / "docs" / "_ext" / "raises.py"
    spec = importlib.util.spec_from_file_location("raises", path)
    raises = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(raises)
    public = [f"{c.__module__}.{c.__name__}.{name}" for c in (brimvale.BrimvaleFile, brimvale.BrimvaleFileVersion,
                                                               dunmere.DunmereAnalysis)
              for name in vars(c) if not name.startswith("_") and name != "url"]  # url only reads the attribute
    assert public and [name for name in public if name not in raises.RAISES] == []
