"""Mistakes on the command line: one line on stderr that names the command, and what was
meant."""

import os
import subprocess
import sys

import pytest


def tavimo(*args, stdout=subprocess.PIPE, pass_fds=()):
    return subprocess.run(
        [sys.executable, "-I", "-m", "tavimo", *args],
        stdin=subprocess.DEVNULL,
        stdout=stdout,
        stderr=subprocess.PIPE,
        encoding="utf-8",
        timeout=60,
        pass_fds=pass_fds,
        env=dict(os.environ, LC_ALL="C.UTF-8"),
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["parse", "--sample", "--form", "json"],
            "tavimo parse: unrecognized option --form; did you mean --format?",
        ),
        (
            ["parse", "--sample", "--format=jsn"],
            "tavimo parse: argument -f/--format: invalid choice: 'jsn' (choose from ",
        ),
        (
            ["airports", "--limt", "3", "rome"],
            "tavimo airports: unrecognized option --limt; did you mean --limit?",
        ),
        (
            ["ask", "--adult", "2"],
            "tavimo ask: unrecognized option --adult; did you mean --adults?",
        ),
        (
            ["--fnd-airport", "rome"],
            "tavimo: unrecognized option --fnd-airport; did you mean --find-airport?",
        ),
        (["parse", "--sample", "--bogus"], "tavimo parse: unrecognized option --bogus (see"),
        (["completion", "bash", "zsh"], "tavimo completion: unrecognized arguments: zsh (see"),
        (["pars"], "tavimo: argument COMMAND: invalid choice: 'pars' (choose from "),
    ],
)
def test_mistakes_name_the_command_and_what_was_meant(args, message):
    result = tavimo(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(message) and len(result.stderr.splitlines()) == 1
    assert result.stderr.endswith(
        " (see {} --help)\n".format(
            "tavimo" if args[0].startswith("-") or args == ["pars"] else "tavimo " + args[0]
        )
    )


@pytest.mark.parametrize(
    "args, meant",
    [
        (["parse", "-f", "jsn"], "did you mean 'json'?"),
        (["pars"], "did you mean 'parse'?"),
        (["parse", "--sort", "prise"], "did you mean 'price'?"),
    ],
)
def test_a_wrong_choice_gets_the_choice_meant_once(args, meant):
    stderr = tavimo(*args).stderr
    assert stderr.count(meant) == 1 and "maybe you meant" not in stderr


def test_an_option_value_is_not_reported_as_an_unknown_option():
    # what follows an option that takes a value is left to argparse, and a negative number
    # is a value
    assert tavimo("ask", "--from", "KRK", "--to", "-LIS").stderr.startswith(
        "tavimo ask: argument --to: expected one argument"
    )
    assert tavimo("ask", "--children", "-2").stderr.startswith(
        "tavimo: --children: A number of passengers cannot be negative"
    )
