"""Build of the two native modules.

Each module is compiled from its own sources (MODULE_SOURCES) and linked with the shared
frame of module_frame/, which is compiled once into a static library; each module still
has its own copy of the frame's state.  Every header is a dependency of both, so touching
one rebuilds them.

Compiler flags are chosen per compiler (GCC and clang alike, MSVC its own, zig's clang as
the release wheels' toolchain) in compiler_flags().  A plain build is optimised (with GCC
and zig across the frame's and the module's sources at link time, where the compiler and
linker at hand can), carries no debug information and, on Linux, links the C++ runtime
statically, so that it needs nothing of the machine but its C library.  Environment knobs,
for development builds only:

TAVIMO_DEBUG=1        build without optimisation, with debug information
TAVIMO_SANITIZE=1     build with AddressSanitizer and UndefinedBehaviorSanitizer (GCC, clang)
TAVIMO_TSAN=1         build with ThreadSanitizer (GCC, clang; for a free-threaded host built with it)
TAVIMO_FUZZ=1         build for coverage-guided fuzzing with clang: libFuzzer's coverage and
                      comparison hooks, AddressSanitizer and UndefinedBehaviorSanitizer
                      (their runtimes are not linked in: the fuzzer preloads them with libFuzzer)
TAVIMO_WERROR=1       turn warnings into errors (CI's builds)
"""

import glob
import os
import subprocess
import sys
import tempfile

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

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
FRAME_SOURCES = sorted(glob.glob("module_frame/**/*.cpp", recursive=True))
# Includes name their folder: "module_frame/..." from the top of the tree, "tavimo/<module>/..."
# from src/.
INCLUDE_DIRS = [".", "src"]
HEADERS = sorted(
    glob.glob("module_frame/**/*.hpp", recursive=True)
    + glob.glob("src/tavimo/**/*.hpp", recursive=True)
)
# Compiled alone before anything else: it stops a compiler too old for the sources with
# one clear message.
COMPILER_CHECK = "module_frame/compiler.hpp"


# The license of LICENSE: an SPDX expression for setuptools 77 and newer, the older free-text
# field for older ones (the newest setuptools for Python 3.8 is 75).
LICENSE = "MIT"


def license_metadata():
    newer = int(setuptools.__version__.split(".")[0]) >= 77
    return {"license_expression": LICENSE} if newer else {"license": LICENSE}


class BuildError(Exception):
    """A build that cannot be made, with the reason."""


def knob(name):
    return os.environ.get(name, "") not in ("", "0")


def compiler_family(compiler):
    """'msvc', 'zig', 'clang' or 'gcc' (any other compiler that takes GCC's options)."""
    if compiler.compiler_type == "msvc":
        return "msvc"
    try:
        banner = subprocess.run(
            [compiler.compiler_so[0], "--version"], capture_output=True, text=True, check=False
        ).stdout
    except OSError as error:
        raise BuildError("cannot run the C++ compiler %s: %s" % (compiler.compiler_so[0], error))
    return family_of_banner(banner)


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
        instrument = [
            "-fsanitize=address,undefined",
            "-fno-omit-frame-pointer",
            "-fno-sanitize-recover=undefined",
        ]
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


def newer(sources, target):
    """Whether target is missing or older than any of sources."""
    if not os.path.exists(target):
        return True
    made = os.path.getmtime(target)
    return any(os.path.getmtime(source) > made for source in sources)


def read_text(path):
    try:
        with open(path) as file:
            return file.read()
    except OSError:
        return None


class BuildNative(build_ext):
    """Chooses the flags for the compiler at hand, checks it, compiles the frame once into a
    static library and links both modules with it."""

    def build_extensions(self):
        try:
            family = compiler_family(self.compiler)
            compile_args, link_args = compiler_flags(
                family,
                sys.platform,
                debug=knob("TAVIMO_DEBUG"),
                sanitize=knob("TAVIMO_SANITIZE"),
                fuzz=knob("TAVIMO_FUZZ"),
                werror=knob("TAVIMO_WERROR"),
                tsan=knob("TAVIMO_TSAN"),
                exports_script=self.exports_script(),
            )
            compile_args, link_args = self.check_compiler(compile_args, link_args)
        except BuildError as error:
            sys.exit("error: tavimo cannot be built: %s" % error)
        frame = self.build_frame(compile_args, link_args)
        for extension in self.extensions:
            extension.extra_compile_args = compile_args
            extension.extra_link_args = link_args
            extension.extra_objects = [frame]
            extension.depends = extension.depends + [frame]
        super().build_extensions()

    def exports_script(self):
        os.makedirs(self.build_temp, exist_ok=True)
        path = os.path.abspath(os.path.join(self.build_temp, "exports.map"))
        if read_text(path) != EXPORTS_SCRIPT:
            with open(path, "w") as file:
                file.write(EXPORTS_SCRIPT)
        return path

    def check_compiler(self, compile_args, link_args):
        """The (compile, link) arguments to build with: those chosen, less link-time
        optimisation where the compiler and linker at hand cannot link objects made with it;
        a compiler that cannot compile the sources stops the build."""
        plain_compile_args = [arg for arg in compile_args if arg not in LINK_TIME_OPTIONS]
        plain_link_args = [arg for arg in link_args if arg not in LINK_TIME_OPTIONS]
        with tempfile.TemporaryDirectory() as work:
            probe = os.path.join(work, "compiler_check.cpp")
            with open(probe, "w") as file:
                file.write('#include "%s"\n' % COMPILER_CHECK)
            try:
                self.compiler.compile(
                    [probe],
                    output_dir=work,
                    include_dirs=INCLUDE_DIRS,
                    extra_postargs=plain_compile_args,
                )
            except Exception:
                raise BuildError(
                    "the C++ compiler stopped at %s (its message is above)" % COMPILER_CHECK
                ) from None
            if plain_compile_args == compile_args:
                return compile_args, link_args
            try:
                objects = self.compiler.compile(
                    [probe], output_dir=work, include_dirs=INCLUDE_DIRS, extra_postargs=compile_args
                )
                self.compiler.link_shared_object(
                    objects,
                    os.path.join(work, "probe.so"),
                    extra_postargs=link_args,
                    target_lang="c++",
                )
            except Exception:
                print(
                    "tavimo: building without link-time optimisation, which the compiler "
                    "or linker at hand cannot do",
                    file=sys.stderr,
                )
                return plain_compile_args, plain_link_args
        return compile_args, link_args

    def build_frame(self, compile_args, link_args):
        """The frame's static library, compiled again when a source or header changed or the
        compiler or the flags of the build are not those it was made with (the modules then
        follow, as the library is one of their dependencies)."""
        library = self.compiler.library_filename("module_frame", output_dir=self.build_temp)
        made_with = os.path.join(self.build_temp, "module_frame.flags")
        flags = " ".join(
            getattr(self.compiler, "compiler_so", [self.compiler.compiler_type])
            + compile_args
            + link_args
        )
        if self.force or newer(FRAME_SOURCES + HEADERS, library) or read_text(made_with) != flags:
            objects = self.compiler.compile(
                FRAME_SOURCES,
                output_dir=self.build_temp,
                include_dirs=INCLUDE_DIRS,
                depends=HEADERS,
                extra_postargs=compile_args,
            )
            if os.path.exists(library):
                os.remove(
                    library
                )  # the archiver adds to an archive: objects of sources gone would stay
            self.compiler.create_static_lib(objects, "module_frame", output_dir=self.build_temp)
            with open(made_with, "w") as file:
                file.write(flags)
        return library


def native_module(name):
    return Extension(
        "tavimo." + name,
        sources=MODULE_SOURCES[name],
        include_dirs=INCLUDE_DIRS,
        depends=HEADERS,
        language="c++",
    )


if __name__ == "__main__":
    setup(
        ext_modules=[native_module(name) for name in MODULE_SOURCES],
        cmdclass={"build_ext": BuildNative},
        **license_metadata(),
    )
