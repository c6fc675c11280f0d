"""Whether a test can count leaked objects by the interpreter's allocated blocks, and the
count itself."""

import gc
import sys
import sysconfig

# Whether sys.getallocatedblocks() counts the object allocator's blocks and a freed object's
# blocks leave the count at once: 0 under PYTHONMALLOC=malloc; a free-threaded host gives
# some back later (a module's namespace, a dict's old keys table once no thread can still
# read it), in batches, so its count moves by hundreds with no leak at all.
BLOCKS_COUNTED_AT_ONCE = sys.getallocatedblocks() > 0 and not sysconfig.get_config_var(
    "Py_GIL_DISABLED"
)


def blocks():
    """The allocated blocks once every collectable cycle is freed."""
    gc.collect()
    return sys.getallocatedblocks()


def blocks_left_by(run_once, *, rounds, warmup=0):
    """The blocks still allocated after `rounds` runs of run_once that were not before them,
    the first `warmup` runs (which fill caches) left out."""
    for _ in range(warmup):
        run_once()
    before = blocks()
    for _ in range(rounds):
        run_once()
    return blocks() - before
