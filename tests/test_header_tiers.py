"""The frame's header tiers, read from the include graph (nothing is compiled): a module
source sees the frame's public headers (module_frame/*.hpp) only, never one of
module_frame/internal/, whether it includes it itself or through a public header."""

import re
from pathlib import Path

from tools.build_recipe import INCLUDE_DIRS

ROOT = Path(__file__).resolve().parent.parent
QUOTED_INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.MULTILINE)


def resolve(name, including, root):
    """The file a quoted include names, as the compiler finds it (the including file's own
    folder first, then the include paths), or None for a header from elsewhere."""
    for folder in (including.parent, *(root / path for path in INCLUDE_DIRS)):
        candidate = (folder / name).resolve()
        if candidate.is_file():
            return candidate
    return None


def internal_chains(source, root):
    """Each way `source` reaches an internal header of the frame: the chain of includes from
    the source to the first internal header on it, as paths from `root`."""
    internal = (root / "module_frame" / "internal").resolve()
    chains, seen = [], set()
    pending = [[source.resolve()]]
    while pending:
        chain = pending.pop()
        for name in QUOTED_INCLUDE.findall(chain[-1].read_text(encoding="utf-8")):
            header = resolve(name, chain[-1], root)
            if header is None or header in seen:
                continue
            seen.add(header)
            if internal in header.parents:
                chains.append([str(path.relative_to(root.resolve())) for path in chain + [header]])
            else:
                pending.append(chain + [header])
    return chains


def module_sources(root):
    """The sources of the native modules, and of the test module built by the tests."""
    return sorted(
        [*root.glob("src/tavimo/*/*.cpp"), *root.glob("src/tavimo/*/*.hpp")]
        + [*root.glob("tests/native/*.cpp")]
    )


def test_module_sources_reach_no_internal_header():
    sources = module_sources(ROOT)
    names = {path.name for path in sources}
    assert {"brasco.cpp", "questions.cpp", "leg_rows.hpp", "frame_probe.cpp"} <= names
    reached = {str(source.relative_to(ROOT)): internal_chains(source, ROOT) for source in sources}
    assert {source: chains for source, chains in reached.items() if chains} == {}


def write(root, path, *includes):
    file = root / path
    file.parent.mkdir(parents=True, exist_ok=True)
    file.write_text("".join(f'#include "{name}"\n' for name in includes) + "#include <Python.h>\n")


def test_an_internal_header_is_found_directly_through_public_headers_and_beside_the_source(
    tmp_path,
):
    write(tmp_path, "module_frame/internal/secret.hpp")
    write(tmp_path, "module_frame/inner.hpp", "module_frame/internal/secret.hpp")
    write(tmp_path, "module_frame/outer.hpp", "module_frame/inner.hpp", "module_frame/outer.hpp")
    write(tmp_path, "module_frame/clean.hpp", "module_frame/clean.hpp")
    write(tmp_path, "src/tavimo/m/direct.cpp", "module_frame/internal/secret.hpp")
    write(tmp_path, "src/tavimo/m/through.hpp", "module_frame/outer.hpp")
    write(tmp_path, "src/tavimo/m/through.cpp", "tavimo/m/through.hpp")
    write(tmp_path, "src/tavimo/m/local.cpp", "through.hpp")
    write(tmp_path, "src/tavimo/m/clean.cpp", "module_frame/clean.hpp", "missing.hpp")

    def chains(path):
        return internal_chains(tmp_path / path, tmp_path)

    assert chains("src/tavimo/m/direct.cpp") == [
        ["src/tavimo/m/direct.cpp", "module_frame/internal/secret.hpp"]
    ]
    assert chains("src/tavimo/m/through.cpp") == [
        [
            "src/tavimo/m/through.cpp",
            "src/tavimo/m/through.hpp",
            "module_frame/outer.hpp",
            "module_frame/inner.hpp",
            "module_frame/internal/secret.hpp",
        ]
    ]
    assert chains("src/tavimo/m/local.cpp")[0][1] == "src/tavimo/m/through.hpp"
    assert chains("src/tavimo/m/clean.cpp") == []
    assert [path.name for path in module_sources(tmp_path)] == [
        "clean.cpp",
        "direct.cpp",
        "local.cpp",
        "through.cpp",
        "through.hpp",
    ]
