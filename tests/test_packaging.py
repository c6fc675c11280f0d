"""What a user installs: the version, the modules' binaries, the build's choices per compiler,
its check of the compiler, and the check of the release artifacts."""

import importlib.metadata
import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

import tavimo
import tavimo.brasco
import tavimo.questions
from conftest import ROOT
from tools import build_recipe

MODULES = [tavimo.brasco, tavimo.questions]
# A plain build: the sanitizer run, and the debug and fuzzing builds, are made otherwise.
PLAIN_BUILD = not any(
    os.environ.get(knob)
    for knob in ("TAVIMO_SANITIZE", "TAVIMO_TSAN", "TAVIMO_DEBUG", "TAVIMO_FUZZ")
)


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, str(path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_version_is_the_distributions():
    assert importlib.metadata.version("tavimo") == tavimo.__version__


def readelf(option, module):
    if shutil.which("readelf") is None:
        pytest.skip("readelf (binutils) is not installed")
    return subprocess.run(
        ["readelf", "-W", option, module.__file__], check=True, capture_output=True, text=True
    ).stdout


linux_plain_build = pytest.mark.skipif(
    not sys.platform.startswith("linux") or not PLAIN_BUILD, reason="the release build on Linux"
)


@linux_plain_build
@pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
def test_a_module_carries_no_debug_information(module):
    sections = readelf("-S", module)
    assert ".debug_info" not in sections and ".symtab" not in sections


@linux_plain_build
@pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
def test_a_module_needs_only_the_c_library(module):
    needed = {
        line.split("[")[1].rstrip("]")
        for line in readelf("-d", module).splitlines()
        if "(NEEDED)" in line
    }
    # zig's glibc for 2.17 links the thread and loader functions from their own libraries,
    # which glibc 2.34 and newer keep as empty stubs.
    c_library = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2"}
    assert {name for name in needed if not name.startswith("ld-linux")} <= c_library, needed


@linux_plain_build
@pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
def test_a_module_exports_its_init_function_alone(module):
    # Nothing of the C++ runtime linked inside may bind to, or stand for, another library's.
    defined = [
        line.split()[7]
        for line in readelf("--dyn-syms", module).splitlines()
        if len(line.split()) == 8
        and line.split()[6] != "UND"
        and line.split()[0] != "Num:"
        and line.split()[4] == "GLOBAL"
    ]
    assert defined == ["PyInit_" + module.__name__.rsplit(".", 1)[1]], defined


# --- the build's flags per compiler ---------------------------------------------------------


def test_the_recipe_lists_every_native_source_once():
    """Each module's sources are the C++ files of its folder, the frame's those of
    module_frame/; a quick build of a module compiles the frame in, a canary does not."""
    for module, sources in build_recipe.MODULE_SOURCES.items():
        folder = ROOT / "src" / "tavimo" / module
        assert sorted(sources) == sorted(
            path.relative_to(ROOT).as_posix() for path in folder.glob("*.cpp")
        )
    frame = sorted(path.relative_to(ROOT).as_posix() for path in ROOT.glob("module_frame/**/*.cpp"))
    assert build_recipe.FRAME_SOURCES == frame and "module_frame/names.cpp" in frame
    module = build_recipe.quick_build_command("module", "c++", ["m.cpp"], "m.so", ["X=1"])
    canary = build_recipe.quick_build_command("canary", "cc", ["c.c"], "c.so")
    assert [arg for arg in module if arg.endswith(".cpp")] == ["m.cpp"] + [
        str(ROOT / source) for source in frame
    ]
    assert "-DX=1" in module and "-I" + str(ROOT / "src") in module
    assert [arg for arg in canary if arg.endswith((".c", ".cpp"))] == ["c.c"]
    assert module[-2:] == ["-o", "m.so"] and canary[-2:] == ["-o", "c.so"]


@pytest.fixture(scope="module")
def build_script():
    pytest.importorskip("setuptools", reason="setup.py needs setuptools")
    return load(ROOT / "setup.py", "tavimo_setup")


KNOBS = [
    dict(debug=debug, sanitize=sanitize, fuzz=fuzz, werror=werror)
    for debug in (False, True)
    for sanitize in (False, True)
    for fuzz in (False, True)
    for werror in (False, True)
]


@pytest.mark.parametrize("platform", ["linux", "win32", "darwin"])
@pytest.mark.parametrize("family", ["gcc", "clang", "zig", "msvc"])
def test_each_compiler_gets_only_options_in_its_own_spelling(build_script, family, platform):
    for knobs in KNOBS:
        try:
            compile_args, link_args = build_script.compiler_flags(family, platform, **knobs)
        except build_script.BuildError as error:
            # Refused only where the compiler cannot make that build, with the reason.
            assert (
                knobs["fuzz"]
                and family != "clang"
                or knobs["sanitize"]
                and family in ("msvc", "zig")
            )
            assert "TAVIMO_" in str(error)
            continue
        mark = "/" if family == "msvc" else "-"
        assert all(arg.startswith(mark) for arg in compile_args + link_args), (
            knobs,
            compile_args,
            link_args,
        )
        assert knobs["werror"] == any(arg in ("-Werror", "/WX") for arg in compile_args)


GCC_BANNER = "g++ (Debian 12.2.0-14) 12.2.0\nCopyright (C) 2022 Free Software Foundation, Inc.\n"
CLANG_BANNER = (
    "Debian clang version 16.0.6 (15)\nTarget: x86_64-pc-linux-gnu\n"
    "Thread model: posix\nInstalledDir: /usr/bin\n"
)


@pytest.mark.parametrize(
    "banner, family",
    [
        (GCC_BANNER, "gcc"),
        (CLANG_BANNER, "clang"),
        (CLANG_BANNER.replace("/usr/bin", "/usr/lib/llvm-16/bin"), "clang"),
        (
            CLANG_BANNER.replace(
                "/usr/bin", "/work/.venv-tools/lib/python3.13/site-packages/ziglang"
            ),
            "zig",
        ),
        (CLANG_BANNER.replace("/usr/bin", "/opt/zig-x86_64-linux-0.17.1/"), "zig"),
        (CLANG_BANNER.replace("/usr/bin", "/opt/zig/bin"), "clang"),  # only its own folder counts
    ],
)
def test_the_compiler_family_is_read_from_its_banner(build_script, banner, family):
    assert build_script.family_of_banner(banner) == family


def test_the_release_build_with_zig_keeps_gccs_choices_in_its_own_way(build_script):
    compile_args, link_args = build_script.compiler_flags(
        "zig",
        "linux",
        debug=False,
        sanitize=False,
        fuzz=False,
        werror=True,
        exports_script="/b/exports.map",
    )
    gcc_compile, gcc_link = build_script.compiler_flags(
        "gcc", "linux", debug=False, sanitize=False, fuzz=False, werror=True
    )
    # Optimised across sources at link time, at GCC's level, warnings as errors.
    assert {
        "-O3",
        "-flto=full",
        "-fomit-frame-pointer",
        "-includePython.h",
        "-g0",
        "-Werror",
    } <= set(compile_args)
    # Only the init function exported, the C++ runtime inside, stripped: what GCC's gets by
    # --exclude-libs, which zig's linker refuses.
    assert {"-O3", "-flto=full", "-g0", "-s", "-Wl,--version-script=/b/exports.map"} <= set(
        link_args
    )
    assert "-Wl,--exclude-libs,ALL" in gcc_link and not any(
        "exclude-libs" in arg for arg in link_args
    )
    assert build_script.EXPORTS_SCRIPT.split() == [
        "{",
        "global:",
        "PyInit_*;",
        "local:",
        "*;",
        "};",
    ]
    debug_compile, debug_link = build_script.compiler_flags(
        "zig", "linux", debug=True, sanitize=False, fuzz=False, werror=False
    )
    assert "-flto=full" not in debug_compile + debug_link and "-s" not in debug_link


class ProbedCompiler:
    """Stands in for setuptools' compiler object in the build's check of the compiler."""

    def __init__(self, compiles=True, links_optimised_objects=True):
        self.compiles, self.links_optimised_objects = compiles, links_optimised_objects
        self.compiled_with = []

    def compile(self, sources, output_dir, include_dirs, extra_postargs):
        self.compiled_with.append(extra_postargs)
        if not self.compiles:
            raise RuntimeError("compiler stopped")
        return [os.path.join(output_dir, "probe.o")]

    def link_shared_object(self, objects, output, extra_postargs, target_lang):
        if (
            any(arg.startswith("-flto") for arg in extra_postargs)
            and not self.links_optimised_objects
        ):
            raise RuntimeError("linker cannot read the objects")


def check_compiler(build_script, compiler, family="gcc"):
    compile_args, link_args = build_script.compiler_flags(
        family, "linux", debug=False, sanitize=False, fuzz=False, werror=True
    )
    assert any(arg.startswith("-flto") for arg in compile_args)
    assert any(arg.startswith("-flto") for arg in link_args)
    checked = build_script.BuildNative.check_compiler(
        type("Build", (), {"compiler": compiler}), compile_args, link_args
    )
    return (compile_args, link_args), checked


def test_link_time_optimisation_is_kept_where_the_compiler_at_hand_can_link_it(build_script):
    chosen, checked = check_compiler(build_script, ProbedCompiler())
    assert checked == chosen


@pytest.mark.parametrize("family", ["gcc", "zig"])
def test_a_linker_that_cannot_link_optimised_objects_gets_a_build_without(
    build_script, capsys, family
):
    compiler = ProbedCompiler(links_optimised_objects=False)
    (compile_args, link_args), checked = check_compiler(build_script, compiler, family)
    lto = set(build_script.LINK_TIME_OPTIONS)
    assert not any(arg.startswith("-flto") for arg in checked[0] + checked[1])
    assert checked == (
        [arg for arg in compile_args if arg not in lto],
        [arg for arg in link_args if arg not in lto],
    )
    assert compiler.compiled_with[0] == checked[0]  # the sources' check is made without it
    assert "without link-time optimisation" in capsys.readouterr().err


def test_a_compiler_that_cannot_compile_the_sources_stops_the_build(build_script, capsys):
    with pytest.raises(build_script.BuildError, match="stopped at"):
        check_compiler(build_script, ProbedCompiler(compiles=False))
    assert "link-time" not in capsys.readouterr().err  # that is not what went wrong


@pytest.mark.compiles
@pytest.mark.parametrize("standard, passes", [("c++17", False), ("c++20", True)])
def test_a_compiler_without_source_location_stops_with_the_minimums(tmp_path, standard, passes):
    if shutil.which(build_recipe.SYNTAX_CHECK[0]) is None:
        pytest.skip("no C++ compiler")
    probe = tmp_path / "probe.cpp"
    probe.write_text('#include "%s"\n' % build_recipe.COMPILER_CHECK)
    result = subprocess.run(
        build_recipe.syntax_check_command(probe, standard), capture_output=True, text=True
    )
    assert (result.returncode == 0) == passes, result.stderr
    if not passes:
        errors = [line for line in result.stderr.splitlines() if "error:" in line]
        assert len(errors) == 1 and "GCC 11, clang 16, MSVC 19.29" in errors[0], result.stderr


# --- the check of the release artifacts -----------------------------------------------------

TRACKED = [
    "README.md",
    "LICENSE",
    "setup.py",
    ".gitignore",
    ".ci/run",
    "module_frame/frame.hpp",
    "src/tavimo/__init__.py",
    "src/tavimo/brasco/brasco.cpp",
    "src/tavimo/brasco/leg_rows.hpp",
    "src/tavimo/brasco.pyi",
    "src/tavimo/py.typed",
    "src/tavimo/data/sample_results.json",
    "tests/conftest.py",
]
WHEEL = "tavimo-0.1.0-cp38-cp38-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
WHEEL_FILES = [
    "tavimo/__init__.py",
    "tavimo/brasco.cpython-38-x86_64-linux-gnu.so",
    "tavimo/brasco.pyi",
    "tavimo/py.typed",
    "tavimo/data/sample_results.json",
    "tavimo-0.1.0.dist-info/METADATA",
    "tavimo-0.1.0.dist-info/WHEEL",
    "tavimo-0.1.0.dist-info/RECORD",
    "tavimo-0.1.0.dist-info/entry_points.txt",
    "tavimo-0.1.0.dist-info/top_level.txt",
    "tavimo-0.1.0.dist-info/licenses/LICENSE",
]
KNOWN = {"Typing :: Typed", "Topic :: Utilities"}
SDIST_FILES = ["tavimo-0.1.0/" + name for name in TRACKED if not name.startswith((".ci/", ".git"))]


@pytest.fixture(scope="module")
def artifacts():
    return load(ROOT / "tools" / "check_artifacts.py", "check_artifacts")


def changed(files, drop=None, add=None):
    return [name for name in files if name != drop] + ([add] if add else [])


def test_complete_artifacts_pass(artifacts):
    metadata = "Name: tavimo\nClassifier: Typing :: Typed\nClassifier: Topic :: Utilities\n"
    assert artifacts.metadata_problems("s.tar.gz", metadata, known=KNOWN) == []
    assert artifacts.wheel_problems(WHEEL, WHEEL_FILES, TRACKED, {"brasco"}) == []
    generated = ["tavimo-0.1.0/PKG-INFO", "tavimo-0.1.0/src/tavimo.egg-info/SOURCES.txt"]
    assert artifacts.sdist_problems("s.tar.gz", SDIST_FILES + generated, TRACKED) == []


@pytest.mark.parametrize(
    "files, problem",
    [
        (changed(WHEEL_FILES, drop="tavimo/brasco.pyi"), "missing tavimo/brasco.pyi"),
        (
            changed(WHEEL_FILES, drop="tavimo/data/sample_results.json"),
            "missing tavimo/data/sample_results.json",
        ),
        (
            changed(WHEEL_FILES, drop="tavimo/brasco.cpython-38-x86_64-linux-gnu.so"),
            "missing the extension module tavimo.brasco",
        ),
        (
            changed(WHEEL_FILES, add="tavimo/brasco.cpython-312-x86_64-linux-gnu.so"),
            "holds tavimo/brasco.cpython-312-x86_64-linux-gnu.so, which is not part of the package",
        ),
        (
            changed(WHEEL_FILES, add="tavimo/brasco/leg_rows.hpp"),
            "holds tavimo/brasco/leg_rows.hpp",
        ),
        (changed(WHEEL_FILES, add="tests/conftest.py"), "holds tests/conftest.py"),
        (changed(WHEEL_FILES, add="tavimo.libs/libstdc++-1a2b3c.so.6"), "holds tavimo.libs/"),
        (
            changed(WHEEL_FILES, drop="tavimo-0.1.0.dist-info/licenses/LICENSE"),
            "missing the license",
        ),
        (
            changed(WHEEL_FILES, drop="tavimo-0.1.0.dist-info/entry_points.txt"),
            "missing entry_points.txt",
        ),
    ],
)
def test_a_wheel_missing_a_file_or_holding_another_fails(artifacts, files, problem):
    problems = artifacts.wheel_problems(WHEEL, files, TRACKED, {"brasco"})
    assert len(problems) == 1 and problem in problems[0], problems


def test_an_unknown_classifier_fails(artifacts):
    metadata = "Classifier: Typing :: Typed\nClassifier: Programming Language :: Python :: 3.99\n"
    assert artifacts.metadata_problems("s.tar.gz", metadata, known=KNOWN) == [
        "s.tar.gz: unknown classifier 'Programming Language :: Python :: 3.99'"
    ]


def test_a_wheel_with_one_tag_or_for_aarch64_passes(artifacts):
    for name in (
        WHEEL.replace("manylinux2014_x86_64.", ""),
        WHEEL.replace(
            "manylinux2014_x86_64.manylinux_2_17_x86_64",
            "manylinux_2_17_x86_64.manylinux2014_x86_64",
        ),
    ):
        assert artifacts.wheel_problems(name, WHEEL_FILES, TRACKED, {"brasco"}) == []
    arm = [name.replace("x86_64", "aarch64") for name in WHEEL_FILES]
    assert (
        artifacts.wheel_problems(WHEEL.replace("x86_64", "aarch64"), arm, TRACKED, {"brasco"}) == []
    )


def test_a_wheel_for_a_newer_glibc_or_with_another_architectures_modules_fails(artifacts):
    newer = WHEEL.replace("manylinux2014_x86_64.manylinux_2_17_x86_64", "manylinux_2_36_x86_64")
    assert artifacts.wheel_problems(newer, WHEEL_FILES, TRACKED, {"brasco"}) == [
        newer + ": needs glibc 2.36, not 2.17 as every release wheel"
    ]
    arm = WHEEL.replace("x86_64", "aarch64")
    assert artifacts.wheel_problems(arm, WHEEL_FILES, TRACKED, {"brasco"}) == [
        arm
        + ": holds tavimo/brasco.cpython-38-x86_64-linux-gnu.so, which is not part of the package",
        arm + ": missing the extension module tavimo.brasco",
    ]


@pytest.mark.parametrize(
    "name",
    [
        WHEEL.replace("manylinux2014_x86_64.manylinux_2_17_x86_64", "linux_x86_64"),
        WHEEL.replace("manylinux2014_x86_64", "manylinux2014_aarch64"),
        WHEEL.replace(".manylinux_2_17", ".manylinux_2_17_x86_64.manylinux2014"),
        WHEEL.replace("cp38-cp38", "cp38-cp39"),
        WHEEL.replace("cp38-cp38", "cp38t-cp38t"),
        WHEEL.replace("cp38-cp38", "py3-none"),
    ],
)
def test_only_a_manylinux_wheel_for_one_cpython_passes(artifacts, name):
    problems = artifacts.wheel_problems(name, WHEEL_FILES, TRACKED, {"brasco"})
    assert problems == [name + ": not a manylinux wheel of tavimo for one CPython"]


FREE_THREADED_WHEEL = WHEEL.replace("cp38-cp38", "cp313-cp313t")
FREE_THREADED_MODULE = "tavimo/brasco.cpython-313t-x86_64-linux-gnu.so"


def test_a_free_threaded_wheel_holds_modules_of_its_own_abi(artifacts):
    files = changed(
        WHEEL_FILES, drop="tavimo/brasco.cpython-38-x86_64-linux-gnu.so", add=FREE_THREADED_MODULE
    )
    assert artifacts.wheel_problems(FREE_THREADED_WHEEL, files, TRACKED, {"brasco"}) == []
    with_gil = [name.replace("313t", "313") for name in files]
    assert artifacts.wheel_problems(FREE_THREADED_WHEEL, with_gil, TRACKED, {"brasco"}) == [
        FREE_THREADED_WHEEL + ": holds tavimo/brasco.cpython-313-x86_64-linux-gnu.so,"
        " which is not part of the package",
        FREE_THREADED_WHEEL + ": missing the extension module tavimo.brasco",
    ]


@pytest.mark.parametrize(
    "files, problem",
    [
        (
            changed(SDIST_FILES, drop="tavimo-0.1.0/src/tavimo/brasco/leg_rows.hpp"),
            "missing src/tavimo/brasco/leg_rows.hpp",
        ),
        (changed(SDIST_FILES, drop="tavimo-0.1.0/tests/conftest.py"), "missing tests/conftest.py"),
        (
            changed(SDIST_FILES, add="tavimo-0.1.0/.fuzz/findings/crash"),
            "holds .fuzz/findings/crash",
        ),
    ],
)
def test_an_sdist_missing_a_file_or_holding_another_fails(artifacts, files, problem):
    problems = artifacts.sdist_problems("s.tar.gz", files, TRACKED)
    assert len(problems) == 1 and problem in problems[0], problems


def test_the_modules_are_those_whose_init_functions_the_package_defines(artifacts):
    # The test-only module of tests/native defines one too, outside the package.
    sources = [
        str(path.relative_to(ROOT))
        for folder in ("src", "tests")
        for path in (ROOT / folder).rglob("*.cpp")
    ]
    assert artifacts.module_names(ROOT, sources) == {"brasco", "questions"}
