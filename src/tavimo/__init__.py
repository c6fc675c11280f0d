"""tavimo: find flights from the command line.

The native core lives in two extension modules: ``tavimo.brasco`` parses flight-search
results and ``tavimo.questions`` holds the trip questions for the prompt.
"""

# The one place the version is written: the build reads it from here.
__version__ = "0.1.0"
