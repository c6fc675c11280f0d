"""Failures of the command line that the user can fix."""


class UserError(Exception):
    """A failure that the user can fix, reported as one line on stderr (exit status 1)."""

    status = 1


class UsageError(UserError):
    """A command line that cannot be run as given (exit status 2, as argparse's own)."""

    status = 2
