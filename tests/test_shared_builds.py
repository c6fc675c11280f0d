"""What ./dev makes once per machine (the chroot, the free-threaded interpreters) is waited for
by whoever needs it while another process is making it: CI starts making them in the
background and its later steps must block on that, not fail or make them a second time."""

import fcntl
import os
import shutil
import subprocess
import sys
import time

import pytest

from conftest import ROOT

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux")
    or shutil.which("bash") is None
    or shutil.which("flock") is None,
    reason="./dev needs bash and flock (util-linux)",
)


def dev(command, **environment):
    env = dict(os.environ, **environment)
    env.pop("PYTHON", None)
    return subprocess.Popen(
        [str(ROOT / "dev"), command],
        cwd=str(ROOT),
        env=env,
        text=True,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )


def waits_while_locked(lock, command, finish, **environment):
    """Runs ./dev COMMAND while this process holds LOCK; once it has said that it waits and is
    still running, finish() makes what it waits for and the lock is let go."""
    with open(str(lock), "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        process = dev(command, **environment)
        try:
            time.sleep(1.5)
            assert process.poll() is None, process.communicate()  # it waits, not fails
            finish()
        finally:
            fcntl.flock(held, fcntl.LOCK_UN)
        try:
            out, err = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:  # making it after all: not to be left running
            os.killpg(process.pid, 9)
            raise
    return process.returncode, out, err


@pytest.mark.skipif(os.geteuid() != 0, reason="the chroot is made as root")
def test_the_chroot_being_made_is_waited_for(tmp_path):
    chroot = tmp_path / "chroot"
    status, out, err = waits_while_locked(
        str(chroot) + ".lock",
        "chroot-path",
        lambda: (chroot.mkdir(), (chroot / ".tavimo-ready").touch()),
        TAVIMO_CHROOT=str(chroot),
    )
    assert (status, out, err) == (
        0,
        "%s\n" % chroot,
        "dev: waiting for the chroot being made at %s\n" % chroot,
    )


def test_a_free_threaded_interpreter_being_built_is_waited_for(tmp_path):
    plain, tsan = tmp_path / "cpython-3.13.5t", tmp_path / "cpython-3.13.5t-tsan"
    tsan.mkdir()
    (tsan / ".built").touch()
    status, out, err = waits_while_locked(
        str(plain) + ".lock",
        "ft-hosts",
        lambda: (plain.mkdir(), (plain / ".built").touch()),
        TAVIMO_HOST_CACHE=str(tmp_path),
    )
    # Nothing fetched or built: the one line says what it waited for.
    waited = "dev: waiting for Python 3.13.5t being built into %s (log: %s.log)\n" % (plain, plain)
    assert (status, err) == (0, waited)


@pytest.mark.skipif(not os.access("/var/lock", os.W_OK), reason="the lock is the machine's")
def test_packages_wait_for_another_apt_get_holding_the_package_lists(tmp_path):
    """Two makers may install packages at once, and `apt-get update` fails at once where
    another apt-get holds the package lists: it is tried again, and only then the install."""
    bin_ = tmp_path / "bin"
    bin_.mkdir()
    calls = tmp_path / "calls"
    (bin_ / "apt-get").write_text(
        "#!/bin/bash\n"
        'echo "$*" >>"%s"\n'
        'if [ "$1" = update ] && [ "$(grep -c update "%s")" -le "$FAILING" ]; then\n'
        '    echo "E: Could not get lock /var/lib/apt/lists/lock" >&2; exit 100\n'
        "fi\n" % (calls, calls)
    )
    (bin_ / "sleep").write_text("#!/bin/sh\n")  # (no pause between the tries here)
    for tool in bin_.iterdir():
        tool.chmod(0o755)
    functions = "/^wait_for_lock()/,/^}/p;/^host_apt_install()/,/^}/p"
    script = 'set -euo pipefail; source <(sed -n "%s" dev); host_apt_install mmdebstrap' % (
        functions
    )
    for failing, status in [(2, 0), (12, 1)]:
        calls.write_text("")
        done = subprocess.run(
            ["bash", "-c", script],
            cwd=str(ROOT),
            env=dict(os.environ, PATH="%s:%s" % (bin_, os.environ["PATH"]), FAILING=str(failing)),
            capture_output=True,
            text=True,
        )
        assert done.returncode == status, done.stderr
        tries = min(failing + 1, 12)
        installed = ["install -y -qq -o DPkg::Lock::Timeout=600 mmdebstrap"] if not status else []
        assert calls.read_text().splitlines() == ["update -qq"] * tries + installed
        assert done.stderr.count("trying again") == tries - 1
