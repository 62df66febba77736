"""Identifiers taken out of platform URLs: exact substrings, first match, no decoding."""
import re
import sys

import pytest

BASE = "https://cloud.brimvale.example/app"

CASES = [
    # url, extractor, expected
    (f"{BASE}/projects/P-1001/items/ITEM-42", "project", "P-1001"),
    (f"{BASE}/projects/P-1001/items/ITEM-42", "item", "ITEM-42"),
    (f"{BASE}/projects/P-1001?folder=F-7", "project", "P-1001"),
    (f"{BASE}/projects/P-1001/folders/F-7/items/ITEM-42/versions/3", "item", "ITEM-42"),
    (f"{BASE}/projects/P-1001#details", "project", "P-1001#details"),
    (f"{BASE}/items/urn%3AITEM-42?mode=view", "item", "urn%3AITEM-42"),
    (f"{BASE}/projects/A-1/x/projects/B-2", "project", "A-1"),
    (f"{BASE}/projects/?next=/projects/P-2", "project", "P-2"),
    (f"{BASE}/projects/", "project", None),
    (f"{BASE}/Projects/P-1001", "project", None),
    (f"{BASE}/subprojects/P-1001", "project", None),
    (f"{BASE}/items?id=ITEM-42", "item", None),
    (f"{BASE}/oss/v2/buckets/BKT-7/objects/OBJ-9.dat", "bucket", "BKT-7"),
    (f"{BASE}/oss/v2/buckets/BKT-7/objects/OBJ-9.dat", "object", "OBJ-9.dat"),
    (f"{BASE}/buckets/BKT-7/objects/dir%2Fname.dat", "object", "dir%2Fname.dat"),
    (f"{BASE}/buckets/BKT-7/objects/dir/name.dat", "object", "dir"),
    (f"{BASE}/projects//P-1001", "project", None),
    (f"{BASE}/projects/P;1&a=b c", "project", "P;1&a=b c"),
    ("https://x/?q=/items/IT-9", "item", "IT-9"),
    ("", "project", None),
    ("", "item", None),
    ("", "bucket", None),
    ("", "object", None),
]

EXTRACTORS = {
    "project": "extract_project_id_from_url",
    "item": "extract_item_id_from_url",
    "bucket": "extract_bucket_key_from_url",
    "object": "extract_object_key_from_url",
}


@pytest.mark.parametrize("url, which, expected", CASES)
def test_extractors(brimvale, url, which, expected):
    extractor = getattr(brimvale._DataManagementAPI, EXTRACTORS[which])
    assert extractor(url) == expected
    assert extractor(url=url) == expected


def test_category_is_a_regular_expression(brimvale):
    extract = brimvale._DataManagementAPI._extract_element_id_from_url
    assert extract(url="/pXojects/P-1", element_category="p.ojects") == "P-1"
    # Non-str categories are formatted as an f-string would.
    assert extract(url="/42/seven", element_category=42) == "seven"


def test_public_extractors_go_through_cls(brimvale):
    seen = []

    class Sub(brimvale._DataManagementAPI):
        @staticmethod
        def _extract_element_id_from_url(**kwargs):
            seen.append(list(kwargs.items()))
            return "from-sub"

    for which, category in [("project", "projects"), ("item", "items"), ("bucket", "buckets"), ("object", "objects")]:
        assert getattr(Sub, EXTRACTORS[which])("u") == "from-sub"
        assert seen.pop() == [("element_category", category), ("url", "u")]


def test_search_uses_the_module_re(brimvale, monkeypatch):
    calls = []

    class FakeRe:
        @staticmethod
        def search(pattern, string):
            calls.append((pattern, string))
            return re.search(pattern, string)

    monkeypatch.setattr(brimvale, "re", FakeRe)
    assert brimvale._DataManagementAPI.extract_item_id_from_url("/items/A") == "A"
    assert calls == [("/items/([^/?]+)", "/items/A")]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda api: api._extract_element_id_from_url("u", "projects"),
         "_extract_element_id_from_url() takes exactly 0 positional arguments (2 given)"),
        (lambda api: api._extract_element_id_from_url(url="u"),
         "_extract_element_id_from_url() needs keyword-only argument element_category"),
        # re's own message: from 3.11 it names the type it got.
        (lambda api: api.extract_item_id_from_url(None),
         "expected string or bytes-like object" + (", got 'NoneType'" if sys.version_info >= (3, 11) else "")),
    ],
)
def test_bad_calls(brimvale, call, message):
    with pytest.raises(TypeError) as info:
        call(brimvale._DataManagementAPI)
    assert str(info.value) == message
