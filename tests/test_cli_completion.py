"""Completion scripts: file names with blanks in bash, and the fish script."""

import argparse
import shutil
import subprocess
import sys

import pytest

from tavimo import completion


def script(shell):
    return subprocess.run(
        [sys.executable, "-I", "-m", "tavimo", "completion", shell],
        capture_output=True,
        encoding="utf-8",
        check=True,
        timeout=60,
    ).stdout


@pytest.fixture
def folder(tmp_path):
    for name in ("my results.json", "my other.json", "plain.json"):
        (tmp_path / name).write_text("[]")
    (tmp_path / "a folder").mkdir()
    return tmp_path


def bash_offers(text, words, cwd):
    """What the bash completion script TEXT offers for the command line WORDS, the last
    one as typed (backslashes and quotes included)."""
    program = (
        'source /dev/stdin; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tavimo; '
        'printf "%s\\n" "${COMPREPLY[@]}"'
    )
    result = subprocess.run(
        ["bash", "-c", program, "bash", "tavimo", *words],
        input=text,
        capture_output=True,
        cwd=cwd,
        encoding="utf-8",
        timeout=60,
    )
    assert result.stderr == ""
    return sorted(filter(None, result.stdout.splitlines()))


@pytest.mark.parametrize(
    "typed, offered",
    [
        ("my", ["my other.json", "my results.json"]),
        ("my\\ r", ["my results.json"]),
        ('"my r', ["my results.json"]),
        ("'my o", ["my other.json"]),
        ("a", ["a folder"]),
    ],
)
def test_bash_completes_file_names_with_blanks(folder, typed, offered):
    assert bash_offers(script("bash"), ["parse", typed], folder) == offered


def test_an_option_that_takes_a_file_completes_file_names(folder):
    parser = argparse.ArgumentParser(prog="tavimo")
    commands = parser.add_subparsers(dest="command")
    write = commands.add_parser("write")
    write.add_argument("-o", "--output", metavar="FILE")
    write.add_argument("-n", metavar="N")
    text = completion.script("bash", parser)
    assert bash_offers(text, ["write", "-o", "my"], folder) == ["my other.json", "my results.json"]
    assert bash_offers(text, ["write", "-n", "my"], folder) == []
    assert "'(-o --output)'{-o,--output}'[]:file:_files'" in completion.script("zsh", parser)
    assert "-s o -l output -r -F" in completion.script("fish", parser)


@pytest.mark.skipif(not shutil.which("fish"), reason="no fish here")
@pytest.mark.parametrize(
    "line, offered",
    [
        ("tavimo ", ["airports", "ask", "completion", "parse"]),
        ("tavimo parse --f", ["--format"]),
        ("tavimo parse -f ", ["csv", "json", "jsonl", "table"]),
        ("tavimo parse my", ["my other.json", "my results.json"]),
        ("tavimo airports ", []),  # a query is no file name
        ("tavimo ask --r", ["--round-trip"]),
        ("tavimo completion ", ["bash", "fish", "zsh"]),
        ("tavimo --f", ["--find-airport"]),
    ],
)
def test_fish_completion(folder, line, offered):
    path = folder / "tavimo.fish"
    path.write_text(script("fish"))
    result = subprocess.run(
        ["fish", "--no-config", "-c", "source {}; complete -C '{}'".format(path, line)],
        capture_output=True,
        cwd=folder,
        encoding="utf-8",
        timeout=60,
    )
    assert result.stderr == ""
    assert sorted(row.split("\t")[0] for row in result.stdout.splitlines()) == offered
