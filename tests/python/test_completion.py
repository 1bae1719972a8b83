"""The tool's bash completion, run by a real bash against a real database: what it offers at
each position, quoted as the shell needs it."""
import os
import pathlib
import subprocess

import pytest

BUILD_DIR = os.environ.get("BRINDLE_BUILD_DIR")
COMPLETION = pathlib.Path(__file__).parents[2] / "tools" / "completion" / "brindle.bash"
pytestmark = pytest.mark.skipif(not BUILD_DIR, reason="needs BRINDLE_BUILD_DIR, set by CTest")

# Sets the words as bash would split the command line, calls the completion function, and
# prints what it offers, one per line.
COMPLETE = """
source "$1"; shift
COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
_brindle
printf '%s\\n' "${COMPREPLY[@]}"
"""


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    work = tmp_path_factory.mktemp("completion")
    tool = os.path.join(BUILD_DIR, "tools", "brindle")
    for arguments in (["mkkey", "My App"], ["mkkey", "-p", "App/net"], ["mkkey", "App\\a/b"],
                      ["mkkey", "x/y\\"], ["mkkey", "x/y\\sub"],
                      ["set", "App", "first name", "1"], ["set", "App", "port", "2"]):
        subprocess.run([tool, "--db", "data/db", *arguments], cwd=work, check=True,
                       capture_output=True)
    (work / "some file.brx").touch()
    return work


def offered(workdir, *words):
    tool = os.path.join(BUILD_DIR, "tools", "brindle")
    result = subprocess.run(["bash", "--norc", "-c", COMPLETE, "_", str(COMPLETION), tool,
                             *words], cwd=workdir, check=True, capture_output=True, text=True)
    return sorted(line for line in result.stdout.split("\n") if line)


FILES = ["data", "some file.brx"]

CASES = [
    (["ls", "My"], ["My\\ App/"]),                       # a space is escaped
    (["ls", "'My A"], ["My App/"]),                       # inside quotes it is not
    (["ls", "x"], ["x/y\\\\"]),                           # a '/' in a name: backslash form
    (["ls", "x/y\\\\"], ["x/y\\\\sub\\\\"]),
    (["ls", "App/"], ["App/net/", "App\\\\a/b\\\\"]),
    (["get", "App", ""], ["first\\ name", "port"]),       # property names after the key
    (["unset", "-f", "App", "p"], ["port"]),
    (["set", "-t", "int", "App", "f"], ["first\\ name"]),
    (["set", "App", "port", ""], []),                     # a value is not completed
    (["mvkey", "App", ""], []),
    (["export", "App", ""], FILES),                       # files where a file goes
    (["export", "--overwrite", "App", "s"], ["some file.brx"]),
    (["import", ""], FILES),
    (["load", "s"], ["some file.brx"]),
    (["dump", "-o", "s"], ["some file.brx"]),
]


@pytest.mark.parametrize("words, expected", CASES)
def test_offers_what_the_position_takes(workdir, words, expected):
    assert offered(workdir, "--db", "data/db", *words) == expected


@pytest.mark.parametrize("database", [["--db", "=", "data/db"], ["--db=data/db"]])
def test_database_given_with_an_equals_sign(workdir, database):
    assert offered(workdir, *database, "get", "App", "p") == ["port"]
    assert offered(workdir, "--db", "=", "da") == ["data"]
