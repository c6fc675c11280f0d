"""Writing the results to a file of the user's: the file is replaced only once they are
all written, so that a failure leaves the old one (or none) rather than a part."""

import contextlib
import os
import stat
import tempfile

from tavimo.errors import UserError


def cannot_write(path, exc):
    return UserError("cannot write {}: {}".format(path, exc.strerror or exc))


@contextlib.contextmanager
def replacing_file(path):
    """A text file to write, which becomes PATH at the end of the context: written beside
    it under a temporary name, then renamed over it (a symbolic link's target is
    replaced).  Where PATH is no regular file (/dev/null, a FIFO), it is written itself."""
    target = os.path.realpath(path)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise cannot_write(path, exc)
    if mode is not None and not stat.S_ISREG(mode):
        try:
            with open(target, "w", encoding="utf-8", newline="") as file:
                yield file
        except OSError as exc:
            raise cannot_write(path, exc)
        return
    try:
        descriptor, temporary = tempfile.mkstemp(
            dir=os.path.dirname(target),
            prefix=".{}.".format(os.path.basename(target)),
            suffix=".tmp",
        )
    except OSError as exc:
        raise cannot_write(path, exc)
    try:
        with open(descriptor, "w", encoding="utf-8", newline="") as file:
            yield file
        os.chmod(temporary, stat.S_IMODE(mode) if mode is not None else 0o666 & ~umask())
        os.replace(temporary, target)
    except BaseException as exc:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(exc, OSError):
            raise cannot_write(path, exc)
        raise


def umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
