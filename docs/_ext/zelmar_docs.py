"""Sphinx extension for the modules' reference: documents the modules' methods as methods,
renders the docstrings' version markers, and keeps code blocks narrow enough to show whole.

The docstrings mark what a release added with ``::version(vX.Y.Z)``, on a line of its own
or at the end of a line; help() shows the marker as it stands. Here it reads "New in
version X.Y.Z". The docstrings themselves are not changed.
"""
from __future__ import annotations

import re
from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.ext.autodoc import AttributeDocumenter, MethodDocumenter, ModuleDocumenter
from sphinx.util import logging

from raises import NOTES, RAISES

MARKER = re.compile(r"::version\(v(\d+(?:\.\d+)*)\)")
# The widest code line the theme shows whole in its content column on a 1280-pixel screen;
# a longer one is cut at the column's edge (it scrolls).
CODE_WIDTH = 90
logger = logging.getLogger(__name__)


def new_in_version(name: str, rawtext: str, text: str, lineno: int, inliner: Any,
                   options: Any = None, content: Any = None) -> tuple[list[nodes.Node], list[nodes.system_message]]:
    """:zelmar-version:`X.Y.Z`, what a marker becomes."""
    return [nodes.emphasis(rawtext, f"New in version {text}", classes=["versionmodified", "added"])], []


def render_markers(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    # A class's entry is made of two docstrings, the class's and its __init__'s: what follows
    # goes once, after the class's own.
    own = what != "class" or "\n".join(lines).strip() == _cleaned(obj.__doc__ or "")
    lines[:] = [MARKER.sub(r":zelmar-version:`\1`", line) for line in lines]
    if not own:
        return
    # What the docstring leaves out, then what the member raises (a "Raises" field list).
    extra = [NOTES[name]] if name in NOTES else []
    extra += [f":raises {exception}: {text}" for exception, text in RAISES.get(name, [])]
    if extra and lines and lines[-1].strip():
        lines.append("")
    for paragraph in extra:
        lines.extend([paragraph, ""] if not paragraph.startswith(":raises") else [paragraph])


def _cleaned(doc: str) -> str:
    from sphinx.util.docstrings import prepare_docstring

    return "\n".join(prepare_docstring(doc)).strip()


def check_code_width(app: Sphinx, doctree: nodes.document, docname: str) -> None:
    for block in doctree.findall(nodes.literal_block):
        for number, line in enumerate(block.astext().splitlines(), start=1):
            if len(line) > CODE_WIDTH:
                logger.warning("code line %d is %d characters wide, over %d: %s", number, len(line),
                               CODE_WIDTH, line.strip()[:40], location=block)


class CompiledMethodDocumenter(MethodDocumenter):
    """The modules' methods are functions of a type of their own, which autodoc would take
    for attribute descriptors and document without their signatures."""

    objtype = "compiledmethod"
    directivetype = "method"
    priority = AttributeDocumenter.priority + 1

    @classmethod
    def can_document_member(cls, member: Any, membername: str, isattr: bool, parent: Any) -> bool:
        return type(member).__name__ == "compiled_function" and not isinstance(parent, ModuleDocumenter)


def setup(app: Sphinx) -> dict[str, Any]:
    app.setup_extension("sphinx.ext.autodoc")
    app.add_autodocumenter(CompiledMethodDocumenter)
    app.add_role("zelmar-version", new_in_version)
    app.connect("autodoc-process-docstring", render_markers)
    app.connect("doctree-resolved", check_code_width)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
