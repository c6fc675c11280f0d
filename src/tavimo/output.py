"""Writing the results: to a file of the user's, which is replaced only once they are all
written, so that a failure leaves the old one (or none) rather than a part; and in large
pieces where no one watches them come."""

import contextlib
import os
import stat

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
    import tempfile  # (not for standard output: the command starts sooner)

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


@contextlib.contextmanager
def gathered(out):
    """OUT, or where it is no terminal, a stand-in that gathers what is written to it into
    pieces of about GATHER characters, each written to OUT at once: written as they came,
    a large response's itineraries went through OUT's buffer of a few kilobytes, a system
    call each (1,453 for the JSON of 5,000 short trips, 20 ms of the command's 400; 10 ms
    gathered).
    Only texts all ASCII are gathered: a piece that is not is encoded whole by the slow
    way (a city name with an accent in one itinerary made the encoding of the megabyte
    around it cost several times more), so such a text is written as it comes, after what
    was gathered before it.  What is gathered is written at the end of the context, an
    exception's too, but for the piece whose writing failed."""
    if out.isatty():  # (line by line, as it comes)
        yield out
        return
    pieces = Gathered(out)
    try:
        yield pieces
    finally:
        pieces.flush()


class Gathered:
    def __init__(self, out):
        self.out, self.pieces, self.size = out, [], 0

    def write(self, text):
        if not text.isascii():
            self.flush()
            self.out.write(text)
            return
        self.pieces.append(text)
        self.size += len(text)
        if self.size >= GATHER:
            self.flush()

    def flush(self):
        text = "".join(self.pieces)
        self.pieces, self.size = [], 0
        if text:
            self.out.write(text)

    def isatty(self):
        return False

    def fileno(self):
        return self.out.fileno()


GATHER = 1 << 20
