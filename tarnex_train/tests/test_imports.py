"""Imports run one way: no circle among tarnex_train's modules, and the
lower layers never reach up (the pool knows nothing of the games it plays,
the training data nothing of the network)."""

import pytest

from import_graph import a_loop, circles, import_graph

# Package -> packages it must not import, directly or through others.
BELOW = {
    "tarnex_train.features": ("tarnex_train.data", "tarnex_train.model", "tarnex_train.inference"),
    "tarnex_train.data": ("tarnex_train.model", "tarnex_train.inference", "tarnex_train.pool", "tarnex_train.play"),
    "tarnex_train.pool": ("tarnex_train.play", "tarnex_train.inference", "tarnex_train.model", "tarnex_train.data"),
}


@pytest.fixture(scope="module")
def graph():
    return import_graph()


def _inside(module: str, package: str) -> bool:
    return module == package or module.startswith(package + ".")


def _reachable(graph, start: str) -> set:
    seen, todo = set(), [start]
    while todo:
        for child in graph[todo.pop()] - seen:
            seen.add(child)
            todo.append(child)
    return seen


def test_no_module_imports_itself_through_others(graph):
    loops = [" -> ".join(a_loop(graph, group)) for group in circles(graph)]
    assert not loops, "import circles:\n" + "\n".join(loops)


@pytest.mark.parametrize("package", sorted(BELOW))
def test_lower_layers_do_not_import_upper_ones(graph, package):
    members = [m for m in graph if _inside(m, package)]
    assert members, f"no module in {package}"
    upper = lambda module: any(_inside(module, above) for above in BELOW[package])  # noqa: E731
    # Each import that leaves the package and leads up, with where it leads.
    wrong = sorted(f"{m} -> {child} (reaching {', '.join(sorted(filter(upper, {child} | _reachable(graph, child))))})"
                   for m in members for child in graph[m]
                   if not _inside(child, package) and (upper(child) or any(map(upper, _reachable(graph, child)))))
    assert not wrong, "\n".join(wrong)


@pytest.mark.parametrize("source, edge", [
    ("def later():\n    from . import b\n", ("pkg.a", "pkg.b")),  # inside a function
    ("import importlib\nNAME = 'pkg.b'\ndef f():\n    importlib.import_module(NAME)\n", ("pkg.a", "pkg.b")),
    ("import importlib\ndef f(x):\n    importlib.import_module(f'.{x}', 'pkg')\n", ("pkg.a", "pkg.b")),
    ("from .b import thing\n", ("pkg.a", "pkg.b")),
    ("from pkg import b\n", ("pkg.a", "pkg.b")),  # a submodule by from-import
    ("from pkg import VALUE\n", ("pkg.a", "pkg")),  # a package's own names: its __init__
])
def test_the_graph_sees_every_way_of_importing(tmp_path, source, edge):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("VALUE = 1\n")
    (package / "a.py").write_text(source)
    (package / "b.py").write_text("from . import a\n")
    found = import_graph(package)
    assert edge[1] in found[edge[0]]
    assert circles(found) == ([] if edge[1] == "pkg" else [["pkg.a", "pkg.b"]])
