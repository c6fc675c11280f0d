"""tavimo: find flights from the command line.

The native core lives in two extension modules: ``tavimo.brasco`` parses flight-search
results and ``tavimo.questions`` holds the trip questions for the prompt.
"""

# The one place the version is written: the build reads it from here.
__version__ = "0.1.0"


def _refuse_an_unbuilt_source_tree() -> None:
    """In the source tree each native module's C++ sits in a folder of the module's name,
    which Python would import as an empty namespace package where the module is not built
    beside it; say so at once instead.  (One listing, and no exception caught on the way:
    an installed package holds no such folder.)"""
    import os
    from importlib.machinery import EXTENSION_SUFFIXES

    here = os.path.dirname(os.path.abspath(__file__))
    names = set(os.listdir(here))
    for module in ("brasco", "questions"):
        if module in names and names.isdisjoint(module + suffix for suffix in EXTENSION_SUFFIXES):
            raise ImportError(
                "tavimo is imported from its source tree (%s), where its native module "
                "tavimo.%s is not built; install the package (pip install . or ./dev setup) "
                "and import it from there" % (here, module),
                name="tavimo." + module,
            )


_refuse_an_unbuilt_source_tree()
del _refuse_an_unbuilt_source_tree
