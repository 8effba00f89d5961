"""The documentation: the snippets of docs/python.md run, the type stubs name exactly what the module
holds, and every function, method and property has a docstring."""

import ast
import enum
import inspect
import os
import pathlib
import re

import pytest

import orvo_compiler as oc
from conftest import REPOSITORY

PAGE = REPOSITORY / "docs" / "python.md"
STUBS = pathlib.Path(oc.__file__).with_name("__init__.pyi")


def snippets():
    """(names the snippet needs, code) for each ```python block, in page order. A block preceded by
    `<!-- needs: a b -->` needs the module to hold a and b."""
    text = PAGE.read_text()
    blocks = []
    for match in re.finditer(r"(?:<!-- needs: ([^>]*) -->\n)?```python\n(.*?)```", text, re.DOTALL):
        blocks.append(((match.group(1) or "").split(), match.group(2)))
    return blocks


def run_snippets(blocks, capsys):
    namespace = {}
    previous = os.getcwd()
    os.chdir(REPOSITORY)
    try:
        for index, (_, code) in enumerate(blocks):
            exec(compile(code, f"{PAGE.name} snippet {index + 1}", "exec"), namespace)
    finally:
        os.chdir(previous)
    capsys.readouterr()


def test_snippets_run(capsys):
    blocks = snippets()
    assert len(blocks) >= 10
    run_snippets([block for block in blocks if not block[0]], capsys)


def test_snippets_that_need_later_parts_run(capsys):
    blocks = snippets()
    needed = sorted({name for names, _ in blocks for name in names})
    missing = [name for name in needed if not hasattr(oc, name)]
    if missing:
        pytest.skip(f"this build of the module has no {', '.join(missing)} yet")
    if not (REPOSITORY / "tests" / "fixtures" / "onnx").is_dir():
        pytest.skip("the ONNX fixtures (tests/fixtures/onnx) are not here yet")
    run_snippets(blocks, capsys)


def stub_members(node):
    """Public names a stub class declares: methods, properties and annotated fields."""
    names = set()
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign):
            names.add(item.target.id)
        elif isinstance(item, ast.ClassDef):
            names.add(item.name)
        elif isinstance(item, ast.Assign):
            names.update(target.id for target in item.targets)
    return {name for name in names if not name.startswith("_") or name == "_repr_svg_"}


def stub_declarations():
    tree = ast.parse(STUBS.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    return classes, functions


def module_members(cls):
    if issubclass(cls, BaseException):
        return {"kind", "message"}
    if hasattr(cls, "__members__"):
        return set(cls.__members__)
    names = {name for name in vars(cls) if not name.startswith("_") or name == "_repr_svg_"}
    return names


def test_stubs_name_exactly_what_the_module_holds():
    classes, functions = stub_declarations()
    public = {name for name in dir(oc) if not name.startswith("_")}
    module_classes = {name for name in public if inspect.isclass(getattr(oc, name))}
    module_functions = public - module_classes
    assert set(classes) == module_classes
    assert functions == module_functions
    for name, node in classes.items():
        cls = getattr(oc, name)
        declared = stub_members(node)
        if any(isinstance(base, ast.Attribute) and base.attr == "Enum" for base in node.bases):
            assert declared == set(cls.__members__), name
            continue
        assert declared == module_members(cls), name


def docstring_text(obj):
    """The docstring without pybind11's signature lines."""
    lines = (obj.__doc__ or "").splitlines()
    prose = [line for line in lines
             if line.strip() and line.strip() != "Overloaded function."
             and not re.match(r"^\s*(\d+\. )?\w+\(.*\)( -> .*)?$", line)]
    return "\n".join(prose)


def documented_objects():
    for name in dir(oc):
        if name.startswith("__"):
            continue
        value = getattr(oc, name)
        if inspect.isclass(value):
            if issubclass(value, enum.Enum) or hasattr(value, "__members__"):
                yield name, value
                continue
            yield name, value
            for member_name, member in vars(value).items():
                if member_name.startswith("__") and member_name not in ("__init__",):
                    continue
                if isinstance(member, property) or callable(member):
                    yield f"{name}.{member_name}", member
        elif callable(value):
            yield name, value


def test_every_function_method_and_property_is_documented():
    undocumented = [name for name, value in documented_objects() if not docstring_text(value)]
    assert undocumented == []


def operation_kinds():
    """(operation name, field names) of every operation kind class the module holds: the classes
    operation_name accepts."""
    kinds = []
    for name in dir(oc):
        value = getattr(oc, name)
        if not inspect.isclass(value) or name.startswith("_"):
            continue
        try:
            operation = oc.operation_name(value())
        except TypeError:
            continue
        fields = [member for member, attribute in vars(value).items() if isinstance(attribute, property)]
        kinds.append((operation, fields))
    return kinds


def test_every_operation_kind_and_its_fields_are_in_the_json_page():
    text = (REPOSITORY / "docs" / "schedule-json.md").read_text()
    kind_row = next(line for line in text.splitlines() if line.startswith("| `kind` | the operation's name"))
    parameters_row = next(line for line in text.splitlines() if line.startswith("| parameters |"))
    kinds = operation_kinds()
    assert len(kinds) >= 17
    missing = [operation for operation, _ in kinds if f'`"{operation}"`' not in kind_row]
    missing += [f"{operation}.{field}" for operation, fields in kinds for field in fields
                if f"`{field}` ({operation}" not in parameters_row and f"`{field}` ({operation};" not in parameters_row
                and not re.search(rf"`{field}`[^|]*\({operation}\)", parameters_row)]
    assert missing == []
