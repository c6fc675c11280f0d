"""What the native code of tavimo is compiled from, and with which flags: the one place that
says it.

setup.py builds the package's modules from MODULE_SOURCES and FRAME_SOURCES with the flags
of compiler_flags() (setuptools runs the compiler); the tests' own builds (a module with the
frame, the leak tests' C canaries, syntax checks against the frame's headers) and the
benchmark's C build floor run a compiler straight away, with the commands made by
quick_build_command() and syntax_check_command().  Paths are from the top of the tree, as
setup.py (run there) and the sdist want them.
"""

import os
import shutil
import sysconfig
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parent.parent


def tree_files(pattern: str) -> List[str]:
    """The files of the tree matching `pattern`, as sorted paths from its top."""
    return sorted(path.relative_to(ROOT).as_posix() for path in ROOT.glob(pattern))


# Each module's own sources: the one list to change when a source is added or moved.
MODULE_SOURCES = {
    "brasco": [
        "src/tavimo/brasco/brasco.cpp",
        "src/tavimo/brasco/leg_rows.cpp",
        "src/tavimo/brasco/native_datetime.cpp",
        "src/tavimo/brasco/display_time.cpp",
        "src/tavimo/brasco/quiet_logging.cpp",
        "src/tavimo/brasco/cut_texts.cpp",
    ],
    "questions": ["src/tavimo/questions/questions.cpp"],
}
FRAME_SOURCES = tree_files("module_frame/**/*.cpp")
# Includes name their folder: "module_frame/..." from the top of the tree, "tavimo/<module>/..."
# from src/.
INCLUDE_DIRS = [".", "src"]
HEADERS = sorted(tree_files("module_frame/**/*.hpp") + tree_files("src/tavimo/**/*.hpp"))
# Compiled alone before anything else: it stops a compiler too old for the sources with
# one clear message.
COMPILER_CHECK = "module_frame/compiler.hpp"


class BuildError(Exception):
    """A build that cannot be made, with the reason."""


def family_of_banner(banner):
    """The family of a compiler from what its --version prints: zig's clang names the folder
    of zig's own installation (the ziglang package, or a zig release) as where it lives."""
    if "clang" not in banner:
        return "gcc"
    installed = [
        line.split(":", 1)[1] for line in banner.splitlines() if line.startswith("InstalledDir:")
    ]
    if installed and "zig" in os.path.basename(installed[0].strip().rstrip("/")):
        return "zig"
    return "clang"


# Optimisation across the sources at link time (GCC).  Half of a call's instructions are the
# module's own code, spread over small functions of the frame and of the module; inlining
# across them saves about a twentieth of them (docs/performance.md).  Fat objects carry the
# ordinary code beside the intermediate one, so that an archiver without the compiler's plugin
# still indexes the frame's library.  Left out where the compiler and linker at hand cannot
# link such objects (BuildNative.check_compiler).
LINK_TIME_OPTIMISATION = ["-flto=auto", "-ffat-lto-objects"]
# The same with zig's clang (the release wheels), linked by zig's lld (its libc++ is built at
# the link's level, hence -O3 there too).  Its archives must come from `zig ar`: GNU ar's
# plugin cannot read this LLVM's bitcode.  Without it a call costs 3 to 19% more
# instructions than GCC's build; with ThinLTO up to 3.5% more, with full LTO within 1%
# (docs/hosts.md, The release toolchain).
ZIG_LINK_TIME_OPTIMISATION = ["-flto=full"]
LINK_TIME_OPTIONS = LINK_TIME_OPTIMISATION + ZIG_LINK_TIME_OPTIMISATION
# What a module exports, for zig's linker, which refuses --exclude-libs: the init function
# alone, every symbol of the C++ runtime kept inside.
EXPORTS_SCRIPT = "{ global: PyInit_*; local: *; };\n"


# AddressSanitizer and UndefinedBehaviorSanitizer, stopping at the first report.
SANITIZE_FLAGS = (
    "-fsanitize=address,undefined",
    "-fno-omit-frame-pointer",
    "-fno-sanitize-recover=undefined",
)


def compiler_flags(
    family, platform, debug, sanitize, fuzz, werror, tsan=False, exports_script="exports.map"
):
    """(compile, link) arguments for a compiler family on a platform (sys.platform);
    exports_script: where BuildNative writes EXPORTS_SCRIPT, for zig."""
    if family == "msvc":
        if sanitize or fuzz or tsan:
            raise BuildError(
                "TAVIMO_SANITIZE, TAVIMO_TSAN and TAVIMO_FUZZ need GCC or clang, not MSVC"
            )
        compile_args = ["/std:c++20", "/W4", "/EHsc", "/permissive-", "/Zc:__cplusplus", "/utf-8"]
        compile_args += ["/Od", "/Zi"] if debug else ["/O2"]
        return compile_args + (["/WX"] if werror else []), (["/DEBUG"] if debug else [])
    if fuzz and family != "clang":
        raise BuildError(
            "TAVIMO_FUZZ needs clang (CC=clang CXX=clang++ LDSHARED='clang++ -shared')"
        )
    if family == "zig" and (sanitize or tsan):
        raise BuildError("TAVIMO_SANITIZE and TAVIMO_TSAN need GCC or clang, not zig")
    compile_args = [
        "-std=c++20",
        "-Wall",
        "-Wextra",
        "-fvisibility=hidden",
        "-fvisibility-inlines-hidden",
    ]
    link_args = []
    instrument = []
    if sanitize:
        instrument = list(SANITIZE_FLAGS)
    if tsan:
        instrument = ["-fsanitize=thread", "-fno-omit-frame-pointer"]
    if fuzz:
        instrument = [
            "-fsanitize=fuzzer-no-link,address,undefined",
            "-fno-omit-frame-pointer",
            "-fno-sanitize-recover=undefined",
        ]
    if debug:
        compile_args += ["-O0", "-g3"]
    elif instrument:
        compile_args += ["-O2"]
    elif family == "gcc":
        compile_args += ["-O3"] + LINK_TIME_OPTIMISATION
        link_args += ["-O3"] + LINK_TIME_OPTIMISATION
    elif family == "zig":
        # Python's headers set the C library's feature macros and must come before any
        # standard header; zig's glibc headers, newer than the hosts', refuse the
        # redefinition where a source includes one first.
        # zig keeps frame pointers unless told not to (GCC at -O3 leaves them out); the
        # host's functions are called through the GOT, not the PLT (zig links with -z now,
        # so every address is bound at load anyway).
        compile_args += [
            "-O3",
            "-fomit-frame-pointer",
            "-fno-plt",
            "-includePython.h",
        ] + ZIG_LINK_TIME_OPTIMISATION
        link_args += ["-O3"] + ZIG_LINK_TIME_OPTIMISATION
    else:
        compile_args += ["-O3"]
    if instrument:
        compile_args += instrument + ([] if debug else ["-g"])
        link_args += instrument
    else:
        if not debug:
            compile_args.append("-g0")  # after the host's own flags, which may ask for -g
        if platform.startswith("linux") and family == "zig":
            # zig links its libc++ statically of itself, built at the link's level (the
            # host's flags, which setuptools puts on the link line too, may ask for -g).
            link_args.append("-Wl,--version-script=" + exports_script)
            if not debug:
                link_args += ["-g0", "-s"]
        elif platform.startswith("linux"):
            # The C++ runtime inside the module, its symbols kept to the module: the module
            # needs only the C library, as a manylinux wheel must.
            link_args += ["-static-libstdc++", "-static-libgcc", "-Wl,--exclude-libs,ALL"]
            if not debug:
                link_args.append("-s")
    if werror:
        compile_args.append("-Werror")
    return compile_args, link_args


# ------------------------------------------------------------------------------------------
# Builds made by a compiler run straight away, for the tests and the benchmark: unoptimised
# where only the behaviour counts, with no link-time optimisation or static runtime.


class QuickBuild(NamedTuple):
    compilers: Tuple[str, ...]  # the first one found on PATH
    flags: Tuple[str, ...]
    with_frame: bool  # the frame's sources compiled in


QUICK_BUILDS: Dict[str, QuickBuild] = {
    # A test build of a module (tests/conftest.py, build_native), the frame compiled in.
    "module": QuickBuild(("g++",), ("-std=c++20", "-O0", "-fvisibility=hidden"), True),
    # The leak tests' C canaries, with debug information for valgrind's reports.
    "canary": QuickBuild(("gcc", "cc"), ("-O0", "-g"), False),
    # The canary of a memory error, under the sanitizers of a sanitizer run.
    "sanitized-canary": QuickBuild(("gcc", "cc"), ("-O0", "-g", *SANITIZE_FLAGS), False),
    # The benchmark's C build floor (bench/build_floor.cpp), optimised as a plain build.
    "build-floor": QuickBuild(("g++", "c++"), ("-std=c++20", "-O2"), False),
}
# The compiler and standard of syntax checks against the frame's headers.
SYNTAX_CHECK = ("g++", "-std=c++20")


def quick_compiler(kind: str) -> Optional[str]:
    """The compiler for a quick build of `kind`, or None when none is on PATH."""
    return next(filter(None, map(shutil.which, QUICK_BUILDS[kind].compilers)), None)


def include_options() -> List[str]:
    """The host's headers, then the tree's include paths."""
    return ["-I" + sysconfig.get_paths()["include"]] + [
        "-I" + str(ROOT / folder) for folder in INCLUDE_DIRS
    ]


def quick_build_command(
    kind: str,
    compiler: str,
    sources: Sequence["os.PathLike[str] | str"],
    output: "os.PathLike[str] | str",
    defines: Sequence[str] = (),
) -> List[str]:
    """The command that compiles `sources` into the extension module `output`."""
    build = QUICK_BUILDS[kind]
    frame = [str(ROOT / source) for source in FRAME_SOURCES] if build.with_frame else []
    return [
        compiler,
        *build.flags,
        "-shared",
        "-fPIC",
        *include_options(),
        *("-D" + define for define in defines),
        *map(str, sources),
        *frame,
        "-o",
        str(output),
    ]


def syntax_check_command(source: "os.PathLike[str] | str", standard: str = "") -> List[str]:
    """The command that checks `source` against the frame's headers, compiling nothing;
    `standard` (c++17, say) in place of the build's."""
    compiler, build_standard = SYNTAX_CHECK
    chosen = "-std=" + standard if standard else build_standard
    return [compiler, chosen, "-fsyntax-only", *include_options(), str(source)]
