"""Failures of the command line that the user can fix."""


class UserError(Exception):
    """A failure that the user can fix, reported as one line on stderr."""
