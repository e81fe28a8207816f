"""The house's structure, checked from the sources: nothing in a lower layer of
the C++ core includes a higher one, the core never includes a binding, and
the modules of the ecm package import each other without a cycle (imports
inside functions included)."""

import ast
import os
import re

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
LAYERS = ["core/base", "core/numeric", "core/circuit", "core/extract", "core/build"]


def _includes(path):
    with open(path, encoding="utf-8") as f:
        return re.findall(r'^#include "([^"]+)"', f.read(), re.M)


def test_core_layers_include_only_what_lies_below():
    offences = []
    for rank, layer in enumerate(LAYERS):
        folder = os.path.join(ROOT, layer)
        for name in sorted(os.listdir(folder)):
            for inc in _includes(os.path.join(folder, name)):
                if inc.startswith("python/") or inc.startswith("src/"):
                    offences.append(f"{layer}/{name} includes the binding {inc}")
                    continue
                target = os.path.dirname(inc)
                if target in LAYERS and LAYERS.index(target) > rank:
                    offences.append(f"{layer}/{name} includes {inc}, a higher layer")
    assert not offences, "\n".join(offences)


def test_ecm_imports_form_no_cycle():
    pkg = os.path.join(ROOT, "src", "ecm")
    modules = {name[:-3] for name in os.listdir(pkg) if name.endswith(".py")}
    graph = {}
    for mod in modules:
        tree = ast.parse(open(os.path.join(pkg, mod + ".py"), encoding="utf-8").read())
        deps = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.module:
                parts = node.module.split(".")
                if node.level == 1 and parts[0] in modules:
                    deps.add(parts[0])
                elif parts[0] == "ecm" and len(parts) > 1 and parts[1] in modules:
                    deps.add(parts[1])
                elif node.module == "ecm":
                    deps.update(a.name for a in node.names if a.name in modules)
            elif isinstance(node, ast.Import):
                for a in node.names:
                    parts = a.name.split(".")
                    if parts[0] == "ecm" and len(parts) > 1 and parts[1] in modules:
                        deps.add(parts[1])
        deps.discard(mod)
        deps.discard("__init__")  # `import ecm` for the public names: the package, not a module
        graph[mod] = deps
    # depth-first search for a back edge
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                raise AssertionError("import cycle: " + " -> ".join([*path, node, nxt]))
            if nxt not in state:
                visit(nxt, [*path, node])
        state[node] = "done"

    for mod in sorted(graph):
        if mod not in state:
            visit(mod, [])
