"""Build of the two native modules.

Both modules are compiled from their own sources in src/tavimo/<module>/ plus every source
of the shared frame in module_frame/.  Includes name their folder: "module_frame/..." from
the top of the tree, "tavimo/<module>/..." from src/.  Environment knobs, for development builds only:

TAVIMO_SANITIZE=1     build with AddressSanitizer and UndefinedBehaviorSanitizer
TAVIMO_DEBUG=1        build without optimisation, with debug info
TAVIMO_FUZZ=1         build for coverage-guided fuzzing with clang: libFuzzer's coverage and
                      comparison hooks, AddressSanitizer and UndefinedBehaviorSanitizer
                      (their runtimes are not linked in: the fuzzer preloads them with libFuzzer)
"""
import glob
import os

from setuptools import Extension, setup

FRAME_SOURCES = sorted(glob.glob("module_frame/*.cpp"))

COMPILE_ARGS = ["-std=c++20", "-Wall", "-Wextra", "-fvisibility=hidden",
                "-fvisibility-inlines-hidden"]
LINK_ARGS = []
if os.environ.get("TAVIMO_DEBUG"):
    COMPILE_ARGS += ["-O0", "-g3"]
else:
    COMPILE_ARGS += ["-O2"]
if os.environ.get("TAVIMO_SANITIZE"):
    sanitize = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer",
                "-fno-sanitize-recover=undefined"]
    COMPILE_ARGS += sanitize + ["-g"]
    LINK_ARGS += sanitize
if os.environ.get("TAVIMO_FUZZ"):
    fuzz = ["-fsanitize=fuzzer-no-link,address,undefined", "-fno-omit-frame-pointer",
            "-fno-sanitize-recover=undefined"]
    COMPILE_ARGS += fuzz + ["-g"]
    LINK_ARGS += fuzz


def native_module(name, *body_sources):
    return Extension(
        "tavimo." + name,
        sources=list(body_sources) + FRAME_SOURCES,
        include_dirs=[".", "src"],
        depends=sorted(glob.glob("module_frame/**/*.hpp", recursive=True)),
        language="c++",
        extra_compile_args=COMPILE_ARGS,
        extra_link_args=LINK_ARGS,
    )


setup(ext_modules=[native_module("brasco", *sorted(glob.glob("src/tavimo/brasco/*.cpp"))),
                   native_module("questions", *sorted(glob.glob("src/tavimo/questions/*.cpp")))])
