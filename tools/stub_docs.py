"""Keeps the docstrings in the modules' stubs those of the built modules, so that editors,
which read the stubs, show what help() shows.

    python tools/stub_docs.py           # lists every stub docstring that differs
    python tools/stub_docs.py --write   # writes the built modules' docstrings into the stubs

Every class, function and property the stubs declare gets its own runtime docstring (the
object's __doc__, not one inherited), cleaned as inspect.cleandoc does; a member without
one at runtime has none in the stub either. Run it against a fresh build (make build).
"""
from __future__ import annotations

import ast
import importlib
import inspect
import sys
from pathlib import Path
from typing import Any, Iterator, Optional

ROOT = Path(__file__).resolve().parent.parent
STUBS = {
    "zelmar.external.brimvale": ROOT / "src" / "external" / "brimvale" / "brimvale.pyi",
    "zelmar.external.dunmere": ROOT / "src" / "external" / "dunmere" / "dunmere.pyi",
}

Node = ast.ClassDef | ast.FunctionDef


def runtime_doc(owner: Any, name: str) -> Optional[str]:
    """The docstring a member carries itself, cleaned; None when it has none."""
    member = vars(owner).get(name) if isinstance(owner, type) else getattr(owner, name, None)
    if isinstance(member, (staticmethod, classmethod)):
        member = member.__func__
    doc = member.__doc__ if isinstance(member, property) or callable(member) else None
    return inspect.cleandoc(doc) if isinstance(doc, str) else None


def declared(tree: ast.Module, module: Any) -> Iterator[tuple[str, Node, Optional[str]]]:
    """(qualified name, stub node, runtime docstring) of every class and member the stub declares."""
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            yield node.name, node, runtime_doc(module, node.name)
            owner = getattr(module, node.name)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", member, runtime_doc(owner, member.name)
        elif isinstance(node, ast.FunctionDef):
            yield node.name, node, runtime_doc(module, node.name)


def members() -> Iterator[tuple[Path, str, Node, Optional[str]]]:
    """(stub, qualified name, stub node, runtime docstring) of what every stub declares."""
    for name, path in STUBS.items():
        module = importlib.import_module(name)
        for qualified, node, doc in declared(ast.parse(path.read_text()), module):
            yield path, qualified, node, doc


def drift() -> list[str]:
    """Every stub member whose docstring is not its runtime one."""
    return [f"{path.relative_to(ROOT)}: {qualified}" for path, qualified, node, doc in members()
            if ast.get_docstring(node) != doc]


def literal(doc: str, indent: str) -> str:
    """doc as a docstring at this indentation, which ast.get_docstring gives back unchanged."""
    doc = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if doc.endswith('"'):  # would run into the closing quotes
        doc = doc[:-1] + '\\"'
    lines = doc.split("\n")
    if len(lines) == 1:
        return f'"""{doc}"""'
    rest = "".join("\n" + (indent + line if line else "") for line in lines[1:])
    return f'"""{lines[0]}{rest}\n{indent}"""'


def write(path: Path, module: Any) -> None:
    text = path.read_text()
    lines = text.split("\n")
    edits = []  # (line, column, end line, end column, replacement), applied from the end
    for _, node, doc in declared(ast.parse(text), module):
        first = node.body[0]
        has_doc = ast.get_docstring(node) is not None
        indent = " " * (node.col_offset + 4)
        own_line = not lines[first.lineno - 1][: first.col_offset].strip()
        if doc is not None:
            new = literal(doc, indent)
        elif has_doc:
            new = "..."
        else:
            continue
        if has_doc or (isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                       and first.value.value is Ellipsis and len(node.body) == 1):
            # Replaces the docstring, or a body that is only "...".
            assert first.end_lineno is not None and first.end_col_offset is not None
            if not own_line and doc is not None:
                new = "\n" + indent + new
            edits.append((first.lineno, first.col_offset, first.end_lineno, first.end_col_offset, new))
        else:
            # A class body without a docstring: it goes above the first statement.
            edits.append((first.lineno, first.col_offset, first.lineno, first.col_offset, new + "\n" + indent))
    for line, column, end_line, end_column, new in sorted(edits, reverse=True):
        head = lines[line - 1][:column]
        if new.startswith("\n"):
            head = head.rstrip()
        tail = lines[end_line - 1][end_column:]
        lines[line - 1:end_line] = (head + new + tail).split("\n")
    path.write_text("\n".join(lines))


def main(argv: list[str]) -> int:
    if argv == ["--write"]:
        for name, path in STUBS.items():
            write(path, importlib.import_module(name))
    elif argv:
        print(__doc__, file=sys.stderr)
        return 2
    found = drift()
    for line in found:
        print(f"docstring differs from the built module's: {line}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
