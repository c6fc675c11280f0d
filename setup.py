"""Build of the two native modules, from what tools/build_recipe.py says is compiled with
which flags.

Each module is compiled from its own sources (MODULE_SOURCES) and linked with the shared
frame of module_frame/, which is compiled once into a static library; each module still
has its own copy of the frame's state.  Every header is a dependency of both, so touching
one rebuilds them.

Compiler flags are chosen per compiler (GCC and clang alike, MSVC its own, zig's clang as
the release wheels' toolchain) in compiler_flags() of the recipe.  A plain build is optimised (with GCC
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

import os
import subprocess
import sys
import tempfile

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

# What is compiled with which flags lives in tools/build_recipe.py, beside this file (in the
# sdist too); the build backend does not put this folder on the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tools.build_recipe import (  # noqa: E402
    COMPILER_CHECK,
    EXPORTS_SCRIPT,
    FRAME_SOURCES,
    HEADERS,
    INCLUDE_DIRS,
    LINK_TIME_OPTIONS,
    MODULE_SOURCES,
    BuildError,
    compiler_flags,
    family_of_banner,
)

# The license of LICENSE: an SPDX expression for setuptools 77 and newer, the older free-text
# field for older ones (the newest setuptools for Python 3.8 is 75).
LICENSE = "MIT"


def license_metadata():
    newer = int(setuptools.__version__.split(".")[0]) >= 77
    return {"license_expression": LICENSE} if newer else {"license": LICENSE}


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
