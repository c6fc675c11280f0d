"""What the tests, the fuzz targets and the benchmark share, importable from the project root
(pytest puts the root on the path, `python -m fuzz.run` and `python -m bench.run` run from it):

- rendition: the plain-Python rendition of the native functions, the oracle of the
  differential and hostile tests and of the fuzz targets, with `observe`, which records an
  outcome and its debug records;
- samples: sample flight-search records and a conversion table that is not a dict;
- recipes: hostile values and the recipes inputs are built from, fresh for each side;
- hostile: running a hostile scenario against the native module and the rendition;
- locales: finding a time locale other than C.

Plain Python only (no pytest), so that the leak script can use it under valgrind.
"""
