"""Shared fixtures: the modules under test, log capture, subprocesses and test builds."""

import contextlib
import datetime
import locale
import logging
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import tavimo
import tavimo.brasco
from testkit.allocations import BLOCKS_COUNTED_AT_ONCE
from testkit.locales import LOCALE_CANDIDATES, try_time_locale
from testkit.samples import Pairs, make_leg, make_record  # noqa: F401  (shared with the tests)
from tools import build_recipe

# The scenario helpers that the hostile tests share assert as the tests do, with pytest's
# account of what differed.
pytest.register_assert_rewrite("testkit.hostile")

ROOT = pathlib.Path(__file__).resolve().parent.parent
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# The day the tests' dates are counted from, taken once: a test that runs across midnight
# still expects the dates it gave.
TODAY = datetime.date.today()
needs_blocks_counted_at_once = pytest.mark.skipif(
    not BLOCKS_COUNTED_AT_ONCE, reason="the host does not give freed blocks back at once"
)
PACKAGE_DIR = pathlib.Path(tavimo.__file__).resolve().parent


def pytest_report_header():
    return "tavimo %s from %s" % (tavimo.__version__, PACKAGE_DIR)


@pytest.fixture
def brasco():
    return tavimo.brasco


class RecordList(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    @property
    def messages(self):
        return [record.getMessage() for record in self.records]


@contextlib.contextmanager
def root_handler(handler):
    """The root logger at DEBUG with `handler` attached, for the duration."""
    root = logging.getLogger()
    old_level = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)
    try:
        yield handler
    finally:
        root.removeHandler(handler)
        root.setLevel(old_level)


@pytest.fixture
def debug_log():
    """Captures the records that reach the root logger at DEBUG."""
    with root_handler(RecordList()) as handler:
        yield handler


class Recording(dict):
    """A record that is not a plain dict: read through its own subscription, with the keys
    read in order in `reads` (nested mappings come out as copies of their own)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reads = []

    def __getitem__(self, key):
        self.reads.append(key)
        value = super().__getitem__(key)
        return Recording(value) if isinstance(value, dict) else value


def host_failure(action, *args):
    """The type and text of the exception the host raises for action(*args): what the
    interpreter itself raises differs between its versions."""
    try:
        action(*args)
    except Exception as error:
        return type(error), str(error)
    raise AssertionError("%r raised nothing" % (action,))


def host_message(action, *args):
    return host_failure(action, *args)[1]


def run_python(code, *, path=(), check=True, args=()):
    """Runs code in a fresh interpreter of this environment, with `path` first on sys.path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    result = subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        cwd=str(path[0]) if path else "/",
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result


def copy_package(destination, settings=None):
    """A copy of the installed tavimo package, optionally with another settings module."""
    target = pathlib.Path(destination) / "tavimo"
    shutil.copytree(PACKAGE_DIR, target, ignore=shutil.ignore_patterns("__pycache__"))
    if settings is not None:
        (target / "settings.py").write_text(settings)
    return pathlib.Path(destination)


def module_sources(module):
    return [ROOT / source for source in build_recipe.MODULE_SOURCES[module]]


def build_native(destination, module, sources, defines=()):
    """Compiles a test build of a native module (with the frame) into destination."""
    output = pathlib.Path(destination) / (module + sysconfig.get_config_var("EXT_SUFFIX"))
    output.parent.mkdir(parents=True, exist_ok=True)
    compiler = build_recipe.quick_compiler("module")
    if compiler is None:
        pytest.skip("no C++ compiler for a test build")
    command = build_recipe.quick_build_command("module", compiler, sources, output, defines)
    subprocess.run(command, check=True, cwd=str(ROOT))
    return output


# Time locales other than C


@pytest.fixture(scope="session")
def time_locale_source(tmp_path_factory):
    """(name, LOCPATH or None) of a locale whose names differ from C; made if none is installed."""
    previous = locale.setlocale(locale.LC_TIME)
    previous_locpath = os.environ.get("LOCPATH")
    try:
        name = try_time_locale(LOCALE_CANDIDATES)
        if name is not None:
            return name, None
        source = "/usr/share/i18n/locales/de_DE"
        if shutil.which("localedef") is None or not os.path.exists(source):
            pytest.skip(
                "no locale other than C/POSIX is installed, and localedef or the "
                "de_DE locale source (Debian package 'locales') is missing"
            )
        directory = str(tmp_path_factory.mktemp("locales"))
        made = subprocess.run(
            ["localedef", "-c", "-i", "de_DE", "-f", "UTF-8", directory + "/de_DE.UTF-8"],
            capture_output=True,
            text=True,
            timeout=120,
        )
        os.environ["LOCPATH"] = directory
        if try_time_locale(["de_DE.UTF-8"]) is None:
            pytest.skip(
                "could not make the de_DE.UTF-8 locale with localedef: "
                + (made.stderr.strip() or "exit %d" % made.returncode)
            )
        return "de_DE.UTF-8", directory
    finally:
        locale.setlocale(locale.LC_TIME, previous)
        restore_locpath(previous_locpath)


def restore_locpath(value):
    if value is None:
        os.environ.pop("LOCPATH", None)
    else:
        os.environ["LOCPATH"] = value


@pytest.fixture
def other_time_locale(time_locale_source):
    """LC_TIME set to that locale for one test."""
    name, locpath = time_locale_source
    previous = locale.setlocale(locale.LC_TIME)
    previous_locpath = os.environ.get("LOCPATH")
    try:
        if locpath is not None:
            os.environ["LOCPATH"] = locpath
        locale.setlocale(locale.LC_TIME, name)
        yield name
    finally:
        locale.setlocale(locale.LC_TIME, previous)
        restore_locpath(previous_locpath)
