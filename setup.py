"""Build of the two native modules.

Both modules are compiled from their own body in src/tavimo/ plus every source of the
shared frame in module_frame/.  Environment knobs, for development builds only:

TAVIMO_SANITIZE=1     build with AddressSanitizer and UndefinedBehaviorSanitizer
TAVIMO_TSAN=1         build with ThreadSanitizer (for a free-threaded host built with it)
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
if os.environ.get("TAVIMO_TSAN"):
    COMPILE_ARGS += ["-fsanitize=thread", "-fno-omit-frame-pointer", "-g"]
    LINK_ARGS += ["-fsanitize=thread"]
if os.environ.get("TAVIMO_FUZZ"):
    fuzz = ["-fsanitize=fuzzer-no-link,address,undefined", "-fno-omit-frame-pointer",
            "-fno-sanitize-recover=undefined"]
    COMPILE_ARGS += fuzz + ["-g"]
    LINK_ARGS += fuzz


def native_module(name, *body_sources):
    return Extension(
        "tavimo." + name,
        sources=list(body_sources) + FRAME_SOURCES,
        include_dirs=["module_frame", "src/tavimo"],
        depends=sorted(glob.glob("module_frame/*.hpp")),
        language="c++",
        extra_compile_args=COMPILE_ARGS,
        extra_link_args=LINK_ARGS,
    )


setup(ext_modules=[native_module("brasco", "src/tavimo/brasco.cpp", "src/tavimo/native_datetime.cpp",
                                 "src/tavimo/display_time.cpp", "src/tavimo/quiet_logging.cpp",
                                 "src/tavimo/row_memo.cpp", "src/tavimo/cut_texts.cpp"),
                   native_module("questions", "src/tavimo/questions.cpp")])
