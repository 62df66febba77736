"""Cost of calls into the compiled modules, beside the same code written in Python.

Prints nanoseconds per call for a few members that do no I/O: the binding of arguments,
module-global lookups and the calls they make, against plain Python functions doing the
same steps. Figures only; nothing here passes or fails.
"""
import re
import timeit

from zelmar.external.brimvale import BrimvaleFile, _AECDataModelAPI, _DataManagementAPI
from zelmar.external.dunmere import DunmereAnalysis

URL = "https://app.brimvale.example/projects/P-1/folders/F/items/urn:item:42?view=1"


class PyAPI:
    @staticmethod
    def _extract_element_id_from_url(*, url, element_category):
        match = re.search(f"/{element_category}/([^/?]+)", url)
        if match:
            return match.group(1)
        return None

    @classmethod
    def extract_item_id_from_url(cls, url):
        return cls._extract_element_id_from_url(element_category="items", url=url)

    @staticmethod
    def _get_pagination_variable(*, limit=None, cursor=None):
        variable = {}
        if cursor:
            variable["cursor"] = cursor
        if limit:
            variable["limit"] = limit
        return variable


class PyFile:
    def __init__(self, url):
        self._url = url

    @property
    def urn(self):
        item_id = PyAPI.extract_item_id_from_url(self._url)
        if not item_id:
            raise ValueError("Could not extract urn (item id) from URL")
        return item_id


def main():
    analysis = DunmereAnalysis.__new__(DunmereAnalysis)
    compiled_file, python_file = BrimvaleFile(URL), PyFile(URL)
    cases = [
        ("_get_pagination_variable(limit=5, cursor='c')",
         lambda: _AECDataModelAPI._get_pagination_variable(limit=5, cursor="c"),
         lambda: PyAPI._get_pagination_variable(limit=5, cursor="c")),
        ("extract_item_id_from_url(url)",
         lambda: _DataManagementAPI.extract_item_id_from_url(URL), lambda: PyAPI.extract_item_id_from_url(URL)),
        ("file.urn", lambda: compiled_file.urn, lambda: python_file.urn),
        ("_handle_execution_error(unmapped)", lambda: analysis._handle_execution_error("unmapped"), None),
    ]
    print(f"{'call':45} {'compiled ns':>12} {'python ns':>10} {'ratio':>6}")
    for name, compiled, python in cases:
        number = 200_000
        c = min(timeit.repeat(compiled, number=number, repeat=5)) / number * 1e9
        if python is None:
            print(f"{name:45} {c:12.0f} {'-':>10} {'-':>6}")
            continue
        p = min(timeit.repeat(python, number=number, repeat=5)) / number * 1e9
        print(f"{name:45} {c:12.0f} {p:10.0f} {c / p:6.2f}")


if __name__ == "__main__":
    main()
