"""The type stub beside the package against the built module: the same public names, and for
every function, method and constructor the same parameters in the same order, the same defaults
and the same overloads; the same properties, writable or read-only; the same enum members.
Types are not compared: the module spells them as its C++ signatures do."""

import ast
import dataclasses
import re

import pytest

import orvo_compiler as oc
from orvo_compiler import _core

from conftest import REPOSITORY

STUB = REPOSITORY / "python" / "orvo_compiler" / "__init__.pyi"

# Parts of the module a build may leave out (when their library is not built): the stub
# always declares them.
OPTIONAL_PARTS = [{"schedule_json", "trace_json"}, {"import_onnx", "ImportedModel", "Session", "CompiledModel", "TensorInfo", "input_infos", "output_infos"}]

# Class attributes no stub declares.
NOT_STUBBED = {"__doc__", "__module__", "__dict__", "__weakref__", "__qualname__", "__annotations__"}
# Methods every object has in the same form: the stub may leave them out, and when it declares
# them they are compared.
OBJECT_METHODS = {"__eq__", "__ne__", "__hash__", "__repr__", "__str__", "__getstate__", "__setstate__"}


@dataclasses.dataclass(frozen=True)
class Parameter:
    name: str
    # "positional" for one passed by position only, "keyword" by keyword only, else "any".
    passing: str = "any"
    # None without a default; "..." for one the stub does not spell; else its text.
    default: str | None = None


@dataclasses.dataclass
class ClassFacts:
    methods: dict = dataclasses.field(default_factory=dict)  # name -> list of signatures
    static: set = dataclasses.field(default_factory=set)
    properties: dict = dataclasses.field(default_factory=dict)  # name -> read-only
    classes: dict = dataclasses.field(default_factory=dict)  # name -> ClassFacts
    members: dict | None = None  # enum member name -> value


@dataclasses.dataclass
class ModuleFacts:
    functions: dict = dataclasses.field(default_factory=dict)
    classes: dict = dataclasses.field(default_factory=dict)
    attributes: set = dataclasses.field(default_factory=set)


# ---- the stub -------------------------------------------------------------------------------

def _decorators(node):
    return {ast.unparse(decorator) for decorator in node.decorator_list}


def _stub_signature(function):
    arguments = function.args
    # **kwargs (options' fields as keywords) is compared by its spelling, as pybind11 shows it.
    assert arguments.vararg is None, f"{function.name}: *args"
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    signature = []
    for index, (argument, default) in enumerate(zip(positional, defaults)):
        # `__name` marks a positional-only parameter as `/` does.
        only = index < len(arguments.posonlyargs) or (argument.arg.startswith("__") and not argument.arg.endswith("__"))
        signature.append(Parameter(argument.arg, "positional" if only else "any",
                                   None if default is None else ast.unparse(default)))
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
        signature.append(Parameter(argument.arg, "keyword", None if default is None else ast.unparse(default)))
    if arguments.kwarg is not None:
        signature.append(Parameter("**" + arguments.kwarg.arg))
    return signature


def _stub_class(node):
    facts = ClassFacts()
    if any(ast.unparse(base) == "enum.Enum" for base in node.bases):
        facts.members = {statement.targets[0].id: ast.literal_eval(statement.value)
                         for statement in node.body if isinstance(statement, ast.Assign)}
        return facts
    for statement in node.body:
        if isinstance(statement, ast.AnnAssign):
            facts.properties[statement.target.id] = False
        elif isinstance(statement, ast.ClassDef):
            facts.classes[statement.name] = _stub_class(statement)
        elif isinstance(statement, ast.FunctionDef):
            decorators = _decorators(statement)
            if "property" in decorators:
                facts.properties[statement.name] = True
            elif any(decorator.endswith(".setter") for decorator in decorators):
                facts.properties[statement.name] = False
            else:
                facts.methods.setdefault(statement.name, []).append(_stub_signature(statement))
                if "staticmethod" in decorators:
                    facts.static.add(statement.name)
    return facts


def stub_facts():
    """The stub's facts, without the optional parts this build of the module leaves out."""
    facts, aliases = _all_stub_facts()
    for part in OPTIONAL_PARTS:
        if not any(hasattr(_core, name) for name in part):
            for name in part:
                facts.functions.pop(name, None)
                facts.classes.pop(name, None)
    return facts, aliases


def _all_stub_facts():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    facts = ModuleFacts()
    aliases = set()
    for statement in tree.body:
        if isinstance(statement, ast.FunctionDef):
            facts.functions.setdefault(statement.name, []).append(_stub_signature(statement))
        elif isinstance(statement, ast.ClassDef):
            facts.classes[statement.name] = _stub_class(statement)
        elif isinstance(statement, ast.AnnAssign):
            facts.attributes.add(statement.target.id)
        elif isinstance(statement, ast.Assign):
            aliases.update(target.id for target in statement.targets)
    return facts, aliases


# ---- the module -----------------------------------------------------------------------------

def _split_top_level(text, separator):
    """`text` cut at each `separator` outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    index = 0
    while index < len(text):
        character = text[index]
        if quote:
            if character == "\\":
                index += 1
            elif character == quote:
                quote = None
        elif character in "'\"":
            quote = character
        elif character in "([{<":
            depth += 1
        elif character in ")]}>" and not (character == ">" and text[index - 1] == "-"):
            depth -= 1
        elif depth == 0 and text.startswith(separator, index):
            parts.append(text[start:index])
            start = index + len(separator)
            index = start
            continue
        index += 1
    parts.append(text[start:])
    return parts


def _parameter_list(line, name):
    """The text between the parentheses of `name(...) -> ...` at the start of `line`."""
    assert line.startswith(name + "("), f"{name}: the docstring starts {line!r}"
    depth, quote = 0, None
    for index in range(len(name), len(line)):
        character = line[index]
        if quote:
            if character == quote and line[index - 1] != "\\":
                quote = None
        elif character in "'\"":
            quote = character
        elif character in "([{":
            depth += 1
        elif character in ")]}":
            depth -= 1
            if depth == 0:
                return line[len(name) + 1:index]
    raise AssertionError(f"{name}: unbalanced signature {line!r}")


def _module_signature(line, name):
    text = _parameter_list(line, name)
    signature = []
    keyword_only = False
    for part in _split_top_level(text, ", ") if text else []:
        declared, *default = _split_top_level(part, " = ")
        parameter = declared.split(":")[0].strip()
        if parameter == "/":
            signature = [dataclasses.replace(p, passing="positional") for p in signature]
            continue
        if parameter == "*":
            keyword_only = True
            continue
        # pybind11 names a parameter bound without a name argN; it is passed by position only.
        passing = "positional" if re.fullmatch(r"arg\d+", parameter) else "keyword" if keyword_only else "any"
        signature.append(Parameter(parameter, passing, default[0] if default else None))
    return signature


def module_signatures(function, name):
    """Each overload's parameters, from the signature lines pybind11 puts first in the docstring."""
    lines = (function.__doc__ or "").splitlines()
    if len(lines) > 1 and lines[1] == "Overloaded function.":
        numbered = [line for line in lines if re.match(rf"\d+\. {re.escape(name)}\(", line)]
        return [_module_signature(line.split(". ", 1)[1], name) for line in numbered]
    return [_module_signature(lines[0] if lines else "", name)]


def _is_function(member):
    return type(member).__name__ in ("builtin_function_or_method", "instancemethod")


def _module_class(cls):
    facts = ClassFacts()
    if hasattr(cls, "__members__"):
        facts.members = {name: int(value) for name, value in cls.__members__.items()}
        return facts
    for name, member in vars(cls).items():
        # A class without a constructor keeps the slot that refuses to make one; a class with
        # __eq__ and no __hash__ has None for it.
        if name in NOT_STUBBED or type(member).__name__ == "wrapper_descriptor" or member is None:
            continue
        if isinstance(member, property):
            facts.properties[name] = member.fset is None
        elif isinstance(member, staticmethod):
            facts.methods[name] = module_signatures(member.__func__, name)
            facts.static.add(name)
        elif isinstance(member, type):
            facts.classes[name] = _module_class(member)
        elif _is_function(member):
            function = getattr(member, "__func__", member)
            facts.methods[name] = module_signatures(function, function.__name__)
        elif not callable(member):
            facts.properties[name] = False  # a constant of the class
        else:
            raise AssertionError(f"{cls.__name__}.{name}: an unknown kind of member {member!r}")
    return facts


def module_facts():
    facts = ModuleFacts(attributes={"__version__"})
    for name, value in vars(_core).items():
        if name.startswith("_"):
            continue
        if isinstance(value, type) and issubclass(value, BaseException):
            facts.classes[name] = ClassFacts()  # compared on its own
        elif isinstance(value, type):
            facts.classes[name] = _module_class(value)
        elif _is_function(value):
            facts.functions[name] = module_signatures(value, name)
        else:
            facts.attributes.add(name)
    return facts


# ---- the comparison -------------------------------------------------------------------------

SIMPLE_DEFAULT = re.compile(r"-?\d[\d.e+-]*|'[^']*'|None|True|False|[A-Z]\w*\.[A-Z]\w*")


def signature_differences(where, stub, module, method):
    """What differs between the stub's signatures of a callable and the module's."""
    if len(module) == 1 and len(stub) > 1:
        # Overloads in the stub alone narrow a literal argument's type to give a precise return
        # type: each takes the module's parameters, and may leave a default out to do so.
        differences = []
        for number, overload in enumerate(stub, 1):
            differences += _parameter_differences(f"{where} overload {number}", overload, module[0], method,
                                                  narrowing=True)
        defaulted = [{p.name for p in overload if p.default is not None} for overload in stub]
        for parameter in module[0]:
            if parameter.default is not None and not any(parameter.name in names for names in defaulted):
                differences.append(f"{where}: {parameter.name} has a default in the module only")
        return differences
    if len(stub) != len(module):
        return [f"{where}: {len(stub)} signatures in the stub, {len(module)} in the module"]
    differences = []
    for number, (stub_parameters, module_parameters) in enumerate(zip(stub, module), 1):
        label = where if len(stub) == 1 else f"{where} overload {number}"
        differences += _parameter_differences(label, stub_parameters, module_parameters, method, narrowing=False)
    return differences


def _parameter_differences(label, stub_parameters, module_parameters, method, narrowing):
    if method and stub_parameters and module_parameters:
        # The module names the instance self, or arg0 when the binding gave it no name.
        stub_parameters = stub_parameters[1:]
        module_parameters = module_parameters[1:]
    stub_names = [parameter.name for parameter in stub_parameters]
    module_names = [parameter.name for parameter in module_parameters]
    if len(stub_names) != len(module_names) or any(
            s.name != m.name and m.passing != "positional" for s, m in zip(stub_parameters, module_parameters)):
        return [f"{label}: parameters {stub_names} in the stub, {module_names} in the module"]
    differences = []
    for s, m in zip(stub_parameters, module_parameters):
        if s.passing != m.passing:
            differences.append(f"{label}: {s.name} is passed {m.passing} in the module, {s.passing} in the stub")
        if s.default is None and m.default is not None and narrowing:
            continue
        if (s.default is None) != (m.default is None):
            differences.append(f"{label}: {s.name} has a default in "
                               f"{'the module' if s.default is None else 'the stub'} only")
        elif s.default == "...":
            if SIMPLE_DEFAULT.fullmatch(m.default):
                differences.append(f"{label}: {s.name}'s default {m.default} is not spelled in the stub")
        elif s.default is not None:
            stub_value = repr(eval(s.default, vars(oc)))  # noqa: S307 - the stub's own literal
            if stub_value != m.default:
                differences.append(f"{label}: {s.name} defaults to {stub_value} in the stub, "
                                   f"{m.default} in the module")
    return differences


def class_differences(where, stub, module):
    if (stub.members is None) != (module.members is None):
        return [f"{where}: an enum in only one of the stub and the module"]
    if stub.members is not None:
        return [] if stub.members == module.members else [
            f"{where}: members {stub.members} in the stub, {module.members} in the module"]
    differences = []
    module_methods = {name: signatures for name, signatures in module.methods.items()
                      if name not in OBJECT_METHODS or name in stub.methods}
    differences += _names_differ(f"{where} methods", stub.methods, module_methods)
    differences += _names_differ(f"{where} properties", stub.properties, module.properties)
    differences += _names_differ(f"{where} classes", stub.classes, module.classes)
    for name in sorted(stub.methods.keys() & module.methods.keys()):
        if (name in stub.static) != (name in module.static):
            differences.append(f"{where}.{name}: static in only one of the stub and the module")
            continue
        differences += signature_differences(f"{where}.{name}", stub.methods[name], module.methods[name],
                                             method=name not in stub.static)
    for name in sorted(stub.properties.keys() & module.properties.keys()):
        if stub.properties[name] != module.properties[name]:
            differences.append(f"{where}.{name}: read-only in "
                               f"{'the stub' if stub.properties[name] else 'the module'} only")
    for name in sorted(stub.classes.keys() & module.classes.keys()):
        differences += class_differences(f"{where}.{name}", stub.classes[name], module.classes[name])
    return differences


def _names_differ(where, stub, module):
    differences = []
    if stub.keys() - module.keys():
        differences.append(f"{where} only in the stub: {sorted(stub.keys() - module.keys())}")
    if module.keys() - stub.keys():
        differences.append(f"{where} only in the module: {sorted(module.keys() - stub.keys())}")
    return differences


def test_stub_names_every_public_name_and_only_those():
    stub, aliases = stub_facts()
    module = module_facts()
    stub_names = stub.functions.keys() | stub.classes.keys() | stub.attributes
    module_names = module.functions.keys() | module.classes.keys() | module.attributes
    assert sorted(stub_names - module_names) == []
    assert sorted(module_names - stub_names) == []
    # The stub's own type aliases must not hide a name of the module.
    assert sorted(aliases & set(vars(_core))) == []


def test_stub_functions_take_the_module_parameters():
    stub, _ = stub_facts()
    module = module_facts()
    differences = []
    for name in sorted(stub.functions.keys() & module.functions.keys()):
        differences += signature_differences(name, stub.functions[name], module.functions[name], method=False)
    assert differences == [], "\n".join(differences)


def test_stub_classes_match_the_module_classes():
    stub, _ = stub_facts()
    module = module_facts()
    differences = []
    for name in sorted(stub.classes.keys() & module.classes.keys()):
        if issubclass(getattr(_core, name), BaseException):
            continue
        differences += class_differences(name, stub.classes[name], module.classes[name])
    assert differences == [], "\n".join(differences)


def test_stub_compile_error_matches_the_exception():
    # An exception class keeps its fields on the instance, not the class.
    stub, _ = stub_facts()
    error_stub = stub.classes["CompileError"]
    assert sorted(error_stub.properties) == sorted(vars(oc.CompileError("text")))
    assert error_stub.methods.keys() == {"__init__"}
    init = vars(oc.CompileError)["__init__"]
    module = module_signatures(init, init.__name__)
    assert signature_differences("CompileError.__init__", error_stub.methods["__init__"], module, method=True) == []


# ---- the parser on pybind11's own forms -----------------------------------------------------

@pytest.mark.parametrize("doc, expected", [
    ("f(self: orvo_compiler.Graph, name: str, shape: list[int]) -> orvo_compiler.TensorId\n\nText.",
     [[Parameter("self"), Parameter("name"), Parameter("shape")]]),
    ("f(graph: orvo_compiler.Graph, options: orvo_compiler.CompilerOptions = "
     "CompilerOptions(tile_count=64, data_base=335872, data_limit=917504)) -> None",
     [[Parameter("graph"), Parameter("options", default="CompilerOptions(tile_count=64, data_base=335872, "
                                                          "data_limit=917504)")]]),
    ("f(self: X, arg0: X) -> bool", [[Parameter("self"), Parameter("arg0", "positional")]]),
    ("f(text: str = ', (') -> str", [[Parameter("text", default="', ('")]]),
    ("f(form: orvo_compiler.SvgForm = SvgForm.Document, m: dict[str, int] = {}) -> str",
     [[Parameter("form", default="SvgForm.Document"), Parameter("m", default="{}")]]),
    ("f(*args, **kwargs)\nOverloaded function.\n\n1. f(value: float) -> float\n\nOne.\n\n"
     "2. f(values: numpy.ndarray, k: str = 'a') -> numpy.ndarray\n\nTwo.",
     [[Parameter("value")], [Parameter("values"), Parameter("k", default="'a'")]]),
    ("f() -> None", [[]]),
])
def test_signature_lines_are_read_as_pybind11_writes_them(doc, expected):
    class Function:
        __doc__ = doc
    assert module_signatures(Function, "f") == expected
