"""The import graph of a package, read from its source, and the circles in it.

Every ``import`` and ``from ... import`` counts wherever it stands (inside
functions, under ``TYPE_CHECKING``, in ``try``), because a lazy import only
hides a circle until the day the import moves. ``importlib.import_module``
with a string the source spells out counts too; one whose name is built at
run time (an f-string under a package) counts as reaching every module of
that package. A package's ``__init__`` is a module like the others, so what
it re-exports are edges from it.

Reads the source tree this file lies in, not an installed copy. Run as a
script to print the circles: ``python tarnex_train/tests/import_graph.py``.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

PACKAGE_ROOT = Path(__file__).resolve().parents[1]


def module_names(root: Path) -> dict[str, Path]:
    """Every module of the package at ``root``, by dotted name; native
    ones too (they import nothing of the package), so that importing one is
    not taken for importing the package above it."""
    modules = {}
    for path in sorted([*root.rglob("*.py"), *root.rglob("*.so")]):
        parts = list(path.relative_to(root.parent).parts)
        parts[-1] = parts[-1].split(".")[0]
        if parts[-1] == "__init__":
            parts.pop()
        modules[".".join(parts)] = path
    return modules


class _Imports(ast.NodeVisitor):
    def __init__(self, name: str, is_package: bool, modules: dict[str, Path]):
        self.modules = modules
        self.package = name if is_package else name.rpartition(".")[0]
        self.strings: dict[str, str] = {}
        self.found: set[str] = set()

    def _absolute(self, module: str | None, level: int) -> str:
        if not level:
            return module or ""
        base = self.package.split(".")
        if level > 1:
            base = base[:-(level - 1)]
        return ".".join(base + ([module] if module else []))

    def _add(self, name: str) -> None:
        """The module ``name`` names, or the closest package above it."""
        while name and name not in self.modules:
            name = name.rpartition(".")[0]
        if name:
            self.found.add(name)

    def visit_Import(self, node: ast.Import) -> None:
        for alias in node.names:
            self._add(alias.name)

    def visit_ImportFrom(self, node: ast.ImportFrom) -> None:
        base = self._absolute(node.module, node.level)
        for alias in node.names:
            child = f"{base}.{alias.name}"
            self._add(child if child in self.modules else base)

    def visit_Assign(self, node: ast.Assign) -> None:
        if isinstance(node.value, ast.Constant) and isinstance(node.value.value, str):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    self.strings[target.id] = node.value.value
        self.generic_visit(node)

    def visit_Call(self, node: ast.Call) -> None:
        function = node.func
        called = function.attr if isinstance(function, ast.Attribute) else getattr(function, "id", None)
        if called in ("import_module", "__import__") and node.args:
            self._dynamic(node.args[0])
        self.generic_visit(node)

    def _dynamic(self, argument: ast.expr) -> None:
        if isinstance(argument, ast.Name):
            argument = ast.Constant(self.strings.get(argument.id, ""))
        if isinstance(argument, ast.Constant) and isinstance(argument.value, str):
            text = argument.value
            level = len(text) - len(text.lstrip("."))
            self._add(self._absolute(text[level:] or None, level))
        elif isinstance(argument, ast.JoinedStr):
            head = argument.values[0] if argument.values else None
            prefix = head.value if isinstance(head, ast.Constant) else ""
            level = len(prefix) - len(prefix.lstrip("."))
            stem = self._absolute(prefix[level:].rstrip(".") or None, level) if level or prefix else ""
            for module in self.modules:
                if stem and module.startswith(stem + "."):
                    self.found.add(module)


def import_graph(root: Path = PACKAGE_ROOT) -> dict[str, set[str]]:
    """Module -> the package's modules it imports (itself left out)."""
    modules = module_names(root)
    graph = {}
    for name, path in modules.items():
        if path.suffix != ".py":
            graph[name] = set()
            continue
        visitor = _Imports(name, path.name == "__init__.py", modules)
        tree = ast.parse(path.read_text(), str(path))
        # Module-level strings first, so a name used before its line still resolves.
        for node in tree.body:
            if isinstance(node, ast.Assign):
                visitor.visit_Assign(node)
        visitor.visit(tree)
        graph[name] = visitor.found - {name}
    return graph


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected groups of more than one module (Tarjan), each sorted."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    groups = []

    def visit(start: str) -> None:
        # Iterative, so a deep graph cannot hit the recursion limit.
        work = [(start, iter(sorted(graph.get(start, ()))))]
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph.get(child, ())))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == node:
                        break
                if len(group) > 1:
                    groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(groups)


def a_loop(graph: dict[str, set[str]], group: list[str]) -> list[str]:
    """One import path through ``group`` that comes back to where it started."""
    members = set(group)
    start = group[0]
    parents = {start: None}
    queue = [start]
    while queue:
        node = queue.pop(0)
        for child in sorted(graph[node] & members):
            if child == start:
                path = [node]
                while parents[path[-1]] is not None:
                    path.append(parents[path[-1]])
                return path[::-1] + [start]
            if child not in parents:
                parents[child] = node
                queue.append(child)
    return group


def main() -> int:
    graph = import_graph()
    found = circles(graph)
    for group in found:
        print(" -> ".join(a_loop(graph, group)) + f"   ({len(group)} modules: {', '.join(group)})")
    print(f"{len(found)} import circle(s) among {len(graph)} modules")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
