"""The package's shape stays readable: short functions, modules of one
concern that do not import each other both ways, and library modules that
use each other's public names only."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "vornet"
MODULES = sorted(PACKAGE.rglob("*.py"))


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports(path):
    """(module, names) of every import of a vornet module in the file."""
    found = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("vornet"):
            found.append((node.module, [alias.name for alias in node.names]))
        elif isinstance(node, ast.Import):
            found += [(alias.name, []) for alias in node.names
                      if alias.name.startswith("vornet")]
    return found


@pytest.mark.parametrize("path", MODULES, ids=lambda p: str(p.relative_to(PACKAGE.parent)))
def test_functions_and_modules_are_short(path):
    text = path.read_text()
    assert sum(1 for line in text.splitlines() if line.strip()) <= 600
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            assert node.end_lineno - node.lineno + 1 <= 80, f"{node.name} is too long"


def test_no_two_modules_import_each_other():
    names = {module_name(p) for p in MODULES}
    compiled = {"vornet._engine", "vornet.vornet_core"}
    graph = {}
    for path in MODULES:
        targets = set()
        for module, imported in imports(path):
            submodules = {f"{module}.{n}" for n in imported} & (names | compiled)
            # `from vornet import _engine` imports the submodule, not the
            # package's own names.
            targets |= submodules if len(submodules) == len(imported) > 0 else {module}
            targets |= submodules
        graph[module_name(path)] = targets & names
    both_ways = sorted((a, b) for a in graph for b in graph[a] if a < b and a in graph.get(b, ()))
    assert both_ways == []


def test_modules_use_each_others_public_names_only():
    private = []
    for path in MODULES:
        for module, imported in imports(path):
            private += [f"{module_name(path)}: {module}.{n}" for n in imported
                        if n.startswith("_") and n != "_engine"]
    assert private == []
