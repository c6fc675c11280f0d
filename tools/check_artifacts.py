"""Checks the release artifacts in a directory (dist/) against the source tree.

- The sdist holds every file the repository tracks, .ci/ and .gitignore aside, so that a
  wheel built from it alone has everything and its test suite runs.
- The sdist's classifiers are all known to the package index (which refuses others).
- Each wheel is a manylinux wheel for glibc 2.17 (manylinux2014, what the release toolchain
  builds for; its second tag, if any, the same) and holds exactly the package: every file
  of src/tavimo/ that is not C++ source, one extension module for each init function that
  the package's sources define (built for the wheel's ABI and architecture: cp313t,
  free-threaded, is not cp313, aarch64 is not x86_64), its
  .dist-info with the license and the console script, and nothing else (no libraries
  grafted beside it: the modules need only the C library).

    python tools/check_artifacts.py dist

Prints each problem and exits with 1 if there is any.
"""

import pathlib
import re
import subprocess
import sys
import tarfile
import zipfile

NOT_SHIPPED = (".ci/", ".gitignore")
CPP_SOURCES = (".cpp", ".hpp")
INIT_FUNCTION = re.compile(r"^PyMODINIT_FUNC\s+PyInit_(\w+)\s*\(", re.MULTILINE)
# The interpreter tag, then the ABI's: the same CPython, with a t for a free-threaded build.
# The platform: manylinux_X_Y_ARCH, with the older name manylinux2014_ARCH before or after it
# (auditwheel writes it first).
WHEEL_NAME = re.compile(
    r"^tavimo-[^-]+-cp(\d+)-cp(\1t?)-(?:manylinux2014_(?P<older>\w+)\.)?"
    r"manylinux_(\d+)_(\d+)_(x86_64|aarch64)(?:\.manylinux2014_(?P<after>\w+))?\.whl$"
)
RELEASE_GLIBC = (2, 17)
DIST_INFO_REQUIRED = {"METADATA", "WHEEL", "RECORD", "entry_points.txt"}
DIST_INFO_OPTIONAL = {"top_level.txt"}


def tracked_files(root):
    try:
        listed = subprocess.run(
            ["git", "ls-files", "-z"], cwd=str(root), check=True, capture_output=True
        ).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit("check_artifacts: the tree's files come from git, which failed: %s" % error)
    return sorted(name for name in listed.decode().split("\0") if name)


def module_names(root, tracked):
    """The extension modules whose init functions the package's sources define."""
    names = set()
    for name in tracked:
        if name.startswith("src/") and name.endswith(".cpp"):
            names.update(INIT_FUNCTION.findall((root / name).read_text(encoding="utf-8")))
    return names


def sdist_problems(sdist_name, members, tracked):
    """members: the names of the sdist's files, each below its top folder."""
    shipped = set()
    for member in members:
        inside = member.split("/", 1)[1] if "/" in member else ""
        if inside == "PKG-INFO" or ".egg-info/" in inside or inside == "setup.cfg":
            continue  # written by the build
        shipped.add(inside)
    wanted = {name for name in tracked if not name.startswith(NOT_SHIPPED)}
    return ["%s: missing %s" % (sdist_name, name) for name in sorted(wanted - shipped)] + [
        "%s: holds %s, which the repository does not track" % (sdist_name, name)
        for name in sorted(shipped - wanted)
    ]


def metadata_problems(sdist_name, metadata, known=None):
    """metadata: the text of the sdist's PKG-INFO; known: the index's classifiers."""
    if known is None:
        from trove_classifiers import classifiers as known
    return [
        "%s: unknown classifier %r" % (sdist_name, line.split(": ", 1)[1])
        for line in metadata.splitlines()
        if line.startswith("Classifier: ") and line.split(": ", 1)[1] not in known
    ]


def wheel_problems(wheel_name, members, tracked, modules):
    matched = WHEEL_NAME.match(wheel_name)
    if not matched:
        return ["%s: not a manylinux wheel of tavimo for one CPython" % wheel_name]
    abi, architecture = matched.group(2), matched.group(6)
    older = matched.group("older") or matched.group("after")
    if older not in (None, architecture) or matched.group("older") and matched.group("after"):
        return ["%s: not a manylinux wheel of tavimo for one CPython" % wheel_name]
    problems = []
    glibc = (int(matched.group(4)), int(matched.group(5)))
    if glibc != RELEASE_GLIBC:
        problems.append(
            "%s: needs glibc %d.%d, not %d.%d as every release wheel"
            % ((wheel_name,) + glibc + RELEASE_GLIBC)
        )
    wanted = {
        "tavimo/" + name[len("src/tavimo/") :]
        for name in tracked
        if name.startswith("src/tavimo/") and not name.endswith(CPP_SOURCES)
    }
    module_file = re.compile(r"^tavimo/(\w+)\.cpython-%s-%s-linux-gnu\.so$" % (abi, architecture))
    found_modules = set()
    dist_info = set()
    for member in sorted(members):
        built = module_file.match(member)
        if member in wanted:
            wanted.discard(member)
        elif built and built.group(1) in modules and built.group(1) not in found_modules:
            found_modules.add(built.group(1))
        elif re.match(r"^tavimo-[^/]+\.dist-info/", member):
            dist_info.add(member.split("/", 1)[1])
        else:
            problems.append("%s: holds %s, which is not part of the package" % (wheel_name, member))
    problems += ["%s: missing %s" % (wheel_name, name) for name in sorted(wanted)]
    problems += [
        "%s: missing the extension module tavimo.%s" % (wheel_name, name)
        for name in sorted(modules - found_modules)
    ]
    licenses = {name for name in dist_info if name.startswith("licenses/") or name == "LICENSE"}
    if not licenses:
        problems.append("%s: missing the license in its .dist-info" % wheel_name)
    problems += [
        "%s: missing %s in its .dist-info" % (wheel_name, name)
        for name in sorted(DIST_INFO_REQUIRED - dist_info)
    ]
    problems += [
        "%s: holds %s in its .dist-info, which the build should not write" % (wheel_name, name)
        for name in sorted(dist_info - DIST_INFO_REQUIRED - DIST_INFO_OPTIONAL - licenses)
    ]
    return problems


def check(dist, root, tracked):
    modules = module_names(root, tracked)
    sdists = sorted(dist.glob("*.tar.gz"))
    wheels = sorted(dist.glob("*.whl"))
    problems = []
    if len(sdists) != 1:
        problems.append("%s: %d sdists, not 1" % (dist, len(sdists)))
    if not wheels:
        problems.append("%s: no wheel" % dist)
    for sdist in sdists:
        with tarfile.open(str(sdist)) as archive:
            files = [member.name for member in archive.getmembers() if member.isfile()]
            problems += sdist_problems(sdist.name, files, tracked)
            top = files[0].split("/", 1)[0] if files else ""
            if top + "/PKG-INFO" in files:
                metadata = archive.extractfile(top + "/PKG-INFO").read().decode("utf-8")
                problems += metadata_problems(sdist.name, metadata)
            else:
                problems.append("%s: no PKG-INFO" % sdist.name)
    for wheel in wheels:
        with zipfile.ZipFile(str(wheel)) as archive:
            files = [name for name in archive.namelist() if not name.endswith("/")]
            problems += wheel_problems(wheel.name, files, tracked, modules)
    return problems


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: check_artifacts.py DIST_DIR")
    root = pathlib.Path(__file__).resolve().parent.parent
    problems = check(pathlib.Path(argv[1]), root, tracked_files(root))
    for problem in problems:
        print("check_artifacts:", problem, file=sys.stderr)
    if problems:
        return 1
    print("check_artifacts: %s holds a complete sdist and complete wheels" % argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
