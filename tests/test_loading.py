"""Loading tavimo.brasco: namespace, guards, version check, import failures, test builds."""

import builtins
import ctypes
import importlib
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

from conftest import (
    FREE_THREADED,
    ROOT,
    build_native,
    copy_package,
    module_sources,
    run_python,
)
from tools import build_recipe


def test_namespace_in_binding_order(brasco):
    # Other tests rebind globals, so the order is checked on a fresh import.
    names = run_python("import tavimo.brasco; print(*vars(tavimo.brasco))").stdout.split()
    host_own = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(names[:6]) == host_own
    assert names[6:] == [
        "__builtins__",
        "datetime",
        "timedelta",
        "logging",
        "leg_details_header",
        "__author__",
        "__email__",
        "route_details",
        "get_ret_times",
        "i_parser",
        "__test__",
    ]
    assert brasco.__builtins__ is builtins
    assert brasco.__doc__ == "brasco for tavimo"
    assert brasco.__package__ == "tavimo"
    assert not hasattr(brasco, "__path__")
    import datetime
    import logging
    import tavimo.settings

    assert brasco.datetime is datetime.datetime and brasco.timedelta is datetime.timedelta
    assert brasco.logging is logging
    assert brasco.leg_details_header is tavimo.settings.leg_details_header
    assert brasco.__test__ == {} and isinstance(brasco.__author__, str)


def test_reimport_gives_the_same_module_without_running_the_body_again(brasco):
    brasco.marker = object()
    del sys.modules["tavimo.brasco"]
    try:
        again = importlib.import_module("tavimo.brasco")
        assert again is brasco
        assert again.marker is brasco.marker
    finally:
        sys.modules["tavimo.brasco"] = brasco
        del brasco.marker


MODULES = ["brasco", "questions"]


@pytest.mark.parametrize("name", MODULES)
def test_exec_step_on_another_module_object_is_refused(name):
    module = importlib.import_module("tavimo." + name)
    library = ctypes.PyDLL(module.__file__)
    entry = getattr(library, "PyInit_" + name)
    entry.restype = ctypes.c_void_p
    definition = entry()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    with pytest.raises(RuntimeError) as error:
        exec_def(types.ModuleType("tavimo." + name), definition)
    assert str(error.value) == (
        f"Module '{name}' has already been imported. Re-initialisation is not supported."
    )
    assert sys.modules["tavimo." + name] is module


@pytest.mark.parametrize("name", MODULES)
def test_only_one_export(name):
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    module = importlib.import_module("tavimo." + name)
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True
    ).stdout.split("\n")
    exported = [line.split()[-1] for line in symbols if line.split()[1:2] == ["T"]]
    assert exported == ["PyInit_" + name]


IMPORT_IN_SUBINTERPRETERS = """
    import sys, tavimo.{name}
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        kinds = {{"isolated": "isolated", "legacy": "legacy"}}
    else:
        import _xxsubinterpreters as interpreters
        kinds = {{"isolated": dict(isolated=True), "legacy": dict(isolated=False)}}
        if sys.version_info < (3, 12):
            kinds = {{kind: {{}} for kind in kinds}}
    for kind, config in kinds.items():
        interp = interpreters.create(config) if isinstance(config, str) else interpreters.create(**config)
        try:
            failure = interpreters.run_string(interp, "import tavimo.{name}")
        except interpreters.RunFailedError as error:
            print(kind, str(error).replace("<class 'ImportError'>: ", ""))
        else:
            print(kind, failure.msg if failure else "imported")
"""
OWN_REFUSAL = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    # From 3.12 the module declares that it serves one interpreter, and the host itself
    # refuses an interpreter that checks this; a legacy one still reaches the create step,
    # except on a free-threaded host, where legacy interpreters check it too.
    result = run_python(IMPORT_IN_SUBINTERPRETERS.format(name=name))
    if sys.version_info >= (3, 12):
        isolated = f"module tavimo.{name} does not support loading in subinterpreters"
    else:
        isolated = OWN_REFUSAL
    legacy = isolated if FREE_THREADED else OWN_REFUSAL
    assert result.stdout.splitlines() == ["isolated " + isolated, "legacy " + legacy]


def test_settings_without_header_fails_then_a_later_import_runs_the_body_again(tmp_path):
    copy_package(tmp_path, settings="other = 1\n")
    result = run_python(
        """
        import sys, traceback
        try:
            import tavimo.brasco
        except ImportError as error:
            print(type(error).__name__, error)
            print(traceback.extract_tb(error.__traceback__)[-1].name)
        import tavimo.settings
        tavimo.settings.leg_details_header = ["h"]
        sys.modules.pop("tavimo.brasco", None)
        import tavimo.brasco
        print(tavimo.brasco.leg_details_header, tavimo.brasco.route_details([]))
    """,
        path=[tmp_path],
    )
    assert result.stdout.splitlines() == [
        "ImportError cannot import name leg_details_header",
        "init tavimo.brasco",
        "['h'] ([['h']], [['h']])",
    ]


def test_cached_builtin_missing_at_import_and_rebinding_after():
    result = run_python("""
        import builtins
        saved = builtins.max
        del builtins.max
        try:
            import tavimo.brasco
        except NameError as error:
            print(error)
        builtins.max = saved
        import tavimo.brasco
        del builtins.max
        leg = dict(local_departure="2021-06-08T18:05:00.000Z",
                   local_arrival="2021-06-08T21:30:00.000Z", **{"return": 1})
        print(tavimo.brasco.get_ret_times([leg]))
    """)
    assert result.stdout.splitlines() == [
        "name 'max' is not defined",
        "('Tue 08 Jun 18:05', 'Tue 08 Jun 21:30')",
    ]


def test_min_and_max_bound_before_the_import_are_the_ones_used():
    result = run_python("""
        import builtins, datetime, logging, tavimo.settings
        calls = []
        def smallest(texts):
            calls.append("min")
            return sorted(texts)[-1]
        host_min, builtins.min = builtins.min, smallest
        import tavimo.brasco
        builtins.min = host_min
        legs = [dict(local_departure=departure + "Z", local_arrival="2021-06-08T23:00:00.000Z",
                     **{"return": 1})
                for departure in ("2021-06-08T18:05:00.000", "2021-06-08T20:10:00.000")]
        print(tavimo.brasco.get_ret_times(legs)[0], calls)
    """)
    assert result.stdout.strip() == "Tue 08 Jun 20:10 ['min']"


def test_min_and_max_swapped_before_the_import_are_not_taken_for_each_other():
    # The host's max bound as min is a function of the builtins module, but not its min.
    result = run_python("""
        import builtins, datetime, logging, tavimo.settings
        host_min, host_max = builtins.min, builtins.max
        builtins.min, builtins.max = host_max, host_min
        import tavimo.brasco
        builtins.min, builtins.max = host_min, host_max
        legs = [dict(local_departure=departure + "Z", local_arrival=arrival + "Z", **{"return": 1})
                for departure, arrival in (("2021-06-08T18:05:00.000", "2021-06-08T21:00:00.000"),
                                           ("2021-06-08T20:10:00.000", "2021-06-08T23:00:00.000"))]
        print(tavimo.brasco.get_ret_times(legs))
    """)
    assert result.stdout.strip() == "('Tue 08 Jun 20:10', 'Tue 08 Jun 21:00')"


def test_missing_imported_module_fails_the_import(tmp_path):
    copy_package(tmp_path / "copy")
    package = tmp_path / "copy" / "tavimo"
    (package / "settings.py").unlink()
    result = run_python(
        """
        try:
            import tavimo.brasco
        except ModuleNotFoundError as error:
            print(error)
    """,
        path=[tmp_path / "copy"],
    )
    assert result.stdout.strip() == "No module named 'tavimo.settings'"


OTHER_MINOR = 10 if sys.version_info[:2] != (3, 10) else 11


@pytest.fixture(scope="module")
def build_for_other_version(tmp_path_factory):
    """tavimo.brasco built as if for another supported Python than this one."""
    destination = tmp_path_factory.mktemp("versioned")
    copy_package(destination)
    for old in (destination / "tavimo").glob("brasco*"):
        old.unlink()
    build_native(
        destination / "tavimo",
        "brasco",
        module_sources("brasco"),
        defines=["FRAME_COMPILED_FOR_MAJOR=3", "FRAME_COMPILED_FOR_MINOR=%d" % OTHER_MINOR],
    )
    return destination


@pytest.mark.slow
@pytest.mark.compiles
def test_version_mismatch_warns_with_full_versions(build_for_other_version):
    runtime = "%d.%d" % sys.version_info[:2]
    result = run_python(
        """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tavimo.brasco
        print(tavimo.brasco.route_details([])[0][0] is tavimo.brasco.leg_details_header)
        for warning in caught:
            print(warning.category.__name__, warning.message)
    """,
        path=[build_for_other_version],
    )
    assert result.stdout.splitlines() == [
        "True",
        f"RuntimeWarning compiletime version 3.{OTHER_MINOR} of module 'tavimo.brasco' does not match "
        "runtime version " + runtime,
    ]


@pytest.mark.slow
@pytest.mark.compiles
def test_version_warning_as_error_fails_the_import(build_for_other_version):
    result = run_python(
        """
        try:
            import tavimo.brasco
        except RuntimeWarning as error:
            print("failed:", error)
    """,
        path=[build_for_other_version],
        args=["-W", "error::RuntimeWarning"],
    )
    assert result.stdout.startswith(f"failed: compiletime version 3.{OTHER_MINOR} of module")


PROBE_BASES_OK = """
log = []
class Meta(type):
    @classmethod
    def __prepare__(meta, name, bases):
        log.append(("prepare", name, bases))
        return Namespace()
class Namespace(dict):
    def __setitem__(self, key, value):
        log.append(("set", key))
        super().__setitem__(key, value)
class First(metaclass=Meta):
    pass
class SubMeta(Meta):
    pass
class Second(metaclass=SubMeta):
    pass
log.clear()
"""

PROBE_BASES_CONFLICT = """
class First(metaclass=type("MetaA", (type,), {})):
    pass
class Second(metaclass=type("MetaB", (type,), {})):
    pass
"""


@pytest.fixture(scope="module")
def probe_build(tmp_path_factory):
    destination = tmp_path_factory.mktemp("probe")
    build_native(destination, "frame_probe", [ROOT / "tests" / "native" / "frame_probe.cpp"])
    return destination


@pytest.mark.slow
@pytest.mark.compiles
def test_class_creation_rule(probe_build):
    (probe_build / "probe_bases.py").write_text(PROBE_BASES_OK)
    result = run_python(
        """
        import inspect, pickle
        import frame_probe, probe_bases
        single, double = frame_probe.Single, frame_probe.Double
        print(type(single).__name__, single.__bases__ == (probe_bases.First,))
        print(type(double).__name__, single.__module__, double.__qualname__, single.__doc__)
        for entry in probe_bases.log:
            print(entry[0], entry[1] if entry[0] == "set" else entry[1:])
        instance = single()
        print(instance.method(), single.method.__qualname__, single.method.__name__)
        print(inspect.signature(single.method), pickle.loads(pickle.dumps(single.method)) is single.method)
    """,
        path=[probe_build],
    )
    assert result.stdout.splitlines() == [
        "Meta True",
        "SubMeta frame_probe Double None",
        "prepare ('Single', (<class 'probe_bases.First'>,))",
        "set __module__",
        "set __qualname__",
        "set __init__",
        "set method",
        "prepare ('Double', (<class 'probe_bases.First'>, <class 'probe_bases.Second'>))",
        "set __module__",
        "set __qualname__",
        "Single Single.method method",
        "(self) True",
    ]


@pytest.mark.slow
@pytest.mark.compiles
def test_metaclass_conflict_fails_the_import(probe_build):
    (probe_build / "probe_bases.py").write_text(PROBE_BASES_CONFLICT)
    result = run_python(
        """
        import traceback
        try:
            import frame_probe
        except TypeError as error:
            print(error)
            print(traceback.extract_tb(error.__traceback__)[-1].name)
    """,
        path=[probe_build],
    )
    assert result.stdout.splitlines() == [
        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
        "subclass of the metaclasses of all its bases",
        "init frame_probe",
    ]


@pytest.mark.parametrize("name, dependency", [("brasco", "logging"), ("questions", "re")])
def test_a_none_registry_entry_is_refused_as_the_host_refuses_it(name, dependency):
    result = run_python(f"""
        import sys, {dependency}
        saved, sys.modules["{dependency}"] = sys.modules["{dependency}"], None
        try:
            import tavimo.{name}
        except ImportError as error:
            print(type(error).__name__, error)
        sys.modules["{dependency}"] = saved
        import tavimo.{name}
        print(tavimo.{name}.{dependency} is saved)
    """)
    assert result.stdout.splitlines() == [
        f"ModuleNotFoundError import of {dependency} halted; None in sys.modules",
        "True",
    ]


def test_loading_imports_only_what_the_module_body_names():
    # The body's own imports do not pass through builtins.__import__; anything else a fast
    # path imported would.  `time` blocked and `datetime` replaced in the registry by a
    # stand-in with the two classes must not stop the module from loading.
    result = run_python("""
        import builtins, datetime, logging, sys, types, tavimo.settings
        real_import, seen = builtins.__import__, []
        def recording(name, *args, **kwargs):
            seen.append(name)
            return real_import(name, *args, **kwargs)
        stand_in = types.ModuleType("datetime")
        stand_in.datetime, stand_in.timedelta = datetime.datetime, datetime.timedelta
        sys.modules["datetime"], sys.modules["time"] = stand_in, None
        builtins.__import__ = recording
        from tavimo import brasco
        builtins.__import__ = real_import
        print(seen)
        leg = dict(local_departure="2021-06-08T18:05:00.000Z",
                   local_arrival="2021-06-08T21:30:00.000Z", **{"return": 1})
        for call in (lambda: brasco.get_ret_times([leg]),
                     lambda: datetime.datetime.fromisoformat("2021-06-08").strftime("%a")):
            try:
                call()
            except ImportError as error:
                print(type(error).__name__, error)
        del sys.modules["time"]
        print(brasco.get_ret_times([leg]))
    """)
    assert result.stdout.splitlines() == [
        "['tavimo']",
        "ModuleNotFoundError import of time halted; None in sys.modules",
        "ModuleNotFoundError import of time halted; None in sys.modules",
        "('Tue 08 Jun 18:05', 'Tue 08 Jun 21:30')",
    ]


def names_definition(count):
    return textwrap.dedent("""\
        #include "module_frame/frame.hpp"
        namespace {
        frame::Ref body(PyObject* const*) { return nullptr; }
        const frame::FunctionDef def("f", "f", nullptr, {%s}, frame::Defaults::None, {%s}, body);
        }
        """) % (
        ", ".join('"p%d"' % i for i in range(count)),
        ", ".join('"l%d"' % i for i in range(count)),
    )


@pytest.mark.compiles
def test_a_function_of_more_names_than_it_holds_does_not_compile(tmp_path):
    """A definition with a fifth parameter or local would write past the function's tables:
    it is refused when the module is compiled, and four of each still compile."""
    if shutil.which(build_recipe.SYNTAX_CHECK[0]) is None:
        pytest.skip("no C++ compiler")
    results = {}
    for count in (4, 5):
        source = tmp_path / ("names%d.cpp" % count)
        source.write_text(names_definition(count))
        results[count] = subprocess.run(
            build_recipe.syntax_check_command(source), capture_output=True, text=True
        )
    assert results[4].returncode == 0, results[4].stderr
    assert results[5].returncode != 0
    assert "more_names_than_a_function_holds" in results[5].stderr


def test_an_unbuilt_source_tree_says_so_at_import():
    """src/ holds each native module's C++ in a folder of the module's name, which would
    otherwise import as an empty namespace package."""
    result = run_python("import tavimo.brasco", path=[ROOT / "src"], check=False)
    assert result.returncode == 1
    assert result.stderr.strip().splitlines()[-1] == (
        "ImportError: tavimo is imported from its source tree (%s), where its native module "
        "tavimo.brasco is not built; install the package (pip install . or ./dev setup) and "
        "import it from there" % (ROOT / "src" / "tavimo")
    )
