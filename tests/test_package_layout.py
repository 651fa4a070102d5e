"""How the package's modules depend on one another, read from the sources:
imports go one way (no module imports itself back through others, not even
from inside a function), and native code imports no Python module of the
package: it is handed what it needs."""
import ast
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
PACKAGE = SRC / "vondrel"
# The native modules beside the Python ones (a directory of C++ sources each).
NATIVE_MODULES = {"vondrel.segy", "vondrel._io", "vondrel._arrays"}
# What native code may import of the package: the core and its stdio bridge.
NATIVE_MAY_IMPORT = {"vondrel.segy", "vondrel._io"}


def module_name(path):
    parts = path.relative_to(SRC).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def python_modules():
    """{module name: path} of every Python module of the package."""
    return {module_name(p): p for p in sorted(PACKAGE.rglob("*.py"))}


def type_checking_only(node):
    """Whether `node` is an `if TYPE_CHECKING:` block: its imports never run."""
    return isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)


def imports_of(name, path, modules):
    """The package's modules that module `name` imports when it runs, at its top or inside a
    function (`from vondrel import x` counts x when x is a module, else the package)."""
    known = set(modules) | NATIVE_MODULES
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()

    def visit(node):
        if type_checking_only(node):
            return
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(package.split(".")[:len(package.split(".")) - node.level + 1] + ([base] if base else []))
            for alias in node.names:
                found.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(ast.parse(path.read_text(), str(path)))
    # a submodule named by a longer dotted name counts as itself (vondrel.segy for vondrel.segy.X)
    resolved = set()
    for target in found:
        while target and target not in known:
            target = target.rpartition(".")[0]
        if target and target != name:
            resolved.add(target)
    return resolved


def circles(graph):
    """The strongly connected groups of more than one module (Tarjan), each sorted."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def strong(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                strong(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for v in sorted(graph):
        if v not in index:
            strong(v)
    return sorted(groups)


def package_graph():
    modules = python_modules()
    return {name: imports_of(name, path, modules) for name, path in modules.items()}


@pytest.mark.parametrize("graph, expected", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, []),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, [["a", "b", "c"]]),
    ({"a": {"b"}, "b": {"a"}, "c": {"d"}, "d": {"c"}}, [["a", "b"], ["c", "d"]]),
])
def test_circles_are_found_however_long(graph, expected):
    assert circles(graph) == expected


def test_the_walk_sees_top_level_deferred_and_relative_imports(tmp_path):
    source = tmp_path / "m.py"
    source.write_text("from typing import TYPE_CHECKING\nimport vondrel.segy\nfrom vondrel import _files\n"
                      "from . import dask\nif TYPE_CHECKING:\n    from vondrel import _xarray\n"
                      "def f():\n    from vondrel._stream import Writer\n")
    modules = {"vondrel._files": None, "vondrel.dask": None, "vondrel._stream": None, "vondrel._xarray": None}
    assert imports_of("vondrel.m", source, modules) == {"vondrel.segy", "vondrel._files", "vondrel.dask",
                                                        "vondrel._stream"}


def test_no_module_of_the_package_imports_itself_back():
    assert circles(package_graph()) == []


def native_names():
    """(source, module) of every package module that native code names as one to import: any
    dotted vondrel name in a string but the names a module gives itself and its types."""
    found = []
    for path in sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp", ".h")):
        for line in path.read_text().splitlines():
            if not re.search(r"\.(tp_name|m_name)\s*=|PyErr_NewException", line):
                found += [(str(path.relative_to(SRC)), name)
                          for name in re.findall(r'"(vondrel(?:\.[A-Za-z_]\w*)*)"', line)]
    return found


def test_the_scan_of_native_code_sees_the_imports_it_may_make():
    names = native_names()
    assert ("vondrel/segy/module.cpp", "vondrel._io") in names and ("vondrel/segy_api.h", "vondrel.segy") in names


def test_native_code_imports_no_python_module_of_the_package():
    assert [(source, name) for source, name in native_names() if name not in NATIVE_MAY_IMPORT] == []


# ---- nothing outside the format modules knows a format by its name -----------------------

def format_names_and_modules():
    """(the registered format names, the modules that define the formats and the registry)."""
    from vondrel import _registry

    return set(_registry.names()), {type(f).__module__ for f in _registry.FORMATS} | {_registry.__name__}


def name_tests(source, names):
    """(line, code) of every place in `source` that tests a value against a
    format's name: a comparison or `in` test with one of `names` as a
    literal (alone, or in a tuple, list or set) or with a format constant's
    `.name` (SEGY_FORMAT.name), a match case on one, and a dict keyed by one
    (a table of one format's facts).  A name as a default value or an
    argument is no test."""
    def named(node):
        for n in ast.walk(node):
            if isinstance(n, ast.Constant) and n.value in names:
                return True
            if isinstance(n, ast.Attribute) and n.attr == "name" and isinstance(n.value, ast.Name) \
                    and n.value.id.endswith("_FORMAT"):
                return True
        return False

    found = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Compare) and any(named(c) for c in (node.left, *node.comparators)):
            found.append((node.lineno, ast.unparse(node)))
        elif isinstance(node, ast.match_case) and named(node.pattern):
            found.append((node.pattern.lineno, ast.unparse(node.pattern)))
        elif isinstance(node, ast.Dict) and any(k is not None and named(k) for k in node.keys):
            found.append((node.lineno, ast.unparse(node)))
    return found


def test_the_name_scan_sees_every_kind_of_test_and_no_default():
    source = ("def f(fmt='su', g=None):\n"
              "    if fmt == 'segy': pass\n"
              "    if fmt not in ('su', 'segy'): pass\n"
              "    ok = g.format != COLLECTION_FORMAT.name\n"
              "    titles = {'su': 'SU'}\n"
              "    match fmt:\n"
              "        case 'collection': pass\n"
              "    h(format='su', default=attrs.get('format', 'su'))\n"
              "    return fmt == g.name or 'sux' == fmt\n")
    assert [line for line, _ in name_tests(source, {"su", "segy", "collection"})] == [2, 3, 4, 5, 7]


def test_no_module_outside_the_formats_tests_a_format_by_its_name():
    names, formats = format_names_and_modules()
    found = [(name, line, code) for name, path in python_modules().items() if name not in formats
             for line, code in name_tests(path.read_text(), names)]
    assert found == []
