"""The host package's imports run one way: no module imports a layer above its own.

The layers are those of the package docstring of ``korvan``; imports inside
functions count, because they tie modules together just the same.
"""

import ast
import pathlib

import pytest

# The source tree beside the tests (the installed copy may be older).
SRC = pathlib.Path(__file__).resolve().parents[1] / "src" / "korvan"

# Module (or package) -> layer, lowest first; a module's layer is that of its
# longest listed prefix.
LAYERS = {
    "korvan.errors": 1, "korvan.text": 1, "korvan.jsonable": 1, "korvan.constants": 1,
    "korvan.metrics": 2, "korvan.frames": 2, "korvan.stats": 2, "korvan.inputs": 2,
    "korvan.report": 3,
    "korvan.data": 4, "korvan.models": 4, "korvan.modelinfo": 4, "korvan.roles": 4,
    "korvan.factsheet": 5, "korvan.utils": 5, "korvan.result": 5, "korvan.rows": 5,
    "korvan.parallel": 5,
    "korvan.sweep": 6, "korvan.compare": 6, "korvan.testing": 6,
    "korvan.cli": 7, "korvan.__main__": 8, "korvan": 0,
}


def layer(module: str) -> int:
    name = module
    while name not in LAYERS:
        if "." not in name:
            raise KeyError(f"{module} has no layer; add it to LAYERS and the package docstring")
        name = name.rpartition(".")[0]
    return LAYERS[name]


def modules() -> dict[str, pathlib.Path]:
    found = {}
    for path in SRC.rglob("*.py"):
        parts = ["korvan", *path.relative_to(SRC).with_suffix("").parts]
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def imports(module: str, path: pathlib.Path) -> set[str]:
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found |= {alias.name for alias in node.names}
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([base] if base else []))
            found |= {f"{base}.{alias.name}" for alias in node.names} | {base}
    return {name for name in found if name == "korvan" or name.startswith("korvan.")}


MODULES = modules()


@pytest.mark.parametrize("module", sorted(MODULES))
def test_no_import_runs_up(module):
    own = layer(module)
    above = sorted(name for name in imports(module, MODULES[module])
                   if name != "korvan" and name in MODULES and layer(name) > own
                   and not name.startswith(module + "."))
    assert not above, f"{module} (layer {own}) imports {above} from above"


def test_the_layer_table_knows_every_module():
    # A new module must be placed in a layer before it can be checked.
    for module in MODULES:
        layer(module)
