"""Sphinx configuration of the API reference (make docs). The reference is read from the
built modules installed in the venv, not from the sources or the stubs."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "zelmar.external"
author = "the zelmar.external developers"
copyright = "2026, the zelmar.external developers"
# This package's own version, as its wheel carries it (the docstrings' "New in version"
# markers name releases of the zelmar SDK instead).
release = version = next(line.split('"')[1] for line in (Path(__file__).parent.parent / "pyproject.toml").read_text()
                         .splitlines() if line.startswith("version = "))
extensions = ["sphinx.ext.autodoc", "myst_parser", "zelmar_docs"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "furo"
html_static_path: list = []

# Properties first, then methods: the compiled modules have no source to keep the order of.
autodoc_member_order = "groupwise"
autodoc_typehints = "signature"
# A class's entry shows its docstring and its __init__'s (parameters).
autoclass_content = "both"

# Every reference must resolve, except to what this reference does not document: the SDK's
# classes other than ExternalProgram and ExecutionError (File, _JobContent, ...), the standard
# library's and typing's names, and the simulator's records. Those render as plain text.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(zelmar\.(core|_vendor)\..*|zelmar\.external\.external_program\._.*)"),
    (r"py:.*", r"(File|_Context|_JobContent|HTTPError)"),
    (r"py:.*", r"(str|int|bool|bytes|dict|list|tuple|None|Any|Optional|Union|Literal|Iterator|BytesIO|_?io\..*|typing\..*)"),
    (r"py:.*", r"(ValueError|KeyError|TypeError)"),
    (r"py:class", r"zelmar_sim\.(world|server)\.(Hub|Project|Item|Version|AecHub|ElementGroup|Token|Fault|Job)"),
]
