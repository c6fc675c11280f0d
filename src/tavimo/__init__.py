"""tavimo: find flights from the command line.

The native core lives in two extension modules: ``tavimo.brasco`` parses flight-search
results and ``tavimo.questions`` holds the trip questions for the prompt.
"""

__version__ = "0.1.0"
