"""The options that one option refuses, as watch-region's usage errors say
them, are those that its manual page and docs/watch-region.md list: each
rule's list is read from the parser's error message in options.py, and from
the sentence that gives it in the page and the docs; and each option listed
is refused by the parser itself.

usage: python3 tests/check_manual_options.py
"""

import ast
import contextlib
import io
import os
import re
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(SOURCE, "watch-region")
sys.path.insert(0, TOOL)
from watch_region import options  # noqa: E402

ARGUMENT = re.compile(r'"([^"]*)"|(\S+)')  # a macro's, quoted or not
OPTION = re.compile(r"--[a-z][a-z0-9-]*|PROGRAM", re.IGNORECASE)
# Each rule: the sentence that lists the options refused, its list the
# first group; and the command line that such an option makes a usage error.
RULES = [
    (r"--scaling takes no:? ([^.;:]*)", ["--timeline", "--scaling", "1"], ["prog"]),
    (r"--merge takes no:? ([^.;:]*)", ["--merge", "folder"], []),
    (r"((?:--[a-z0-9-]+,? )+and --[a-z0-9-]+) go with --timeline", [], ["prog"]),
]
VALUES = {"--team": "2", "--scaling": "1", "--repeat": "2", "--region": "1", "--events": "1",
          "--keep": "last"}


def parser_errors():
    """The messages that options.py's parse_arguments gives parser.error."""
    with open(options.__file__, encoding="utf-8") as source:
        tree = ast.parse(source.read())
    return ". ".join(call.args[0].value for call in ast.walk(tree)
                     if isinstance(call, ast.Call) and isinstance(call.func, ast.Attribute)
                     and call.func.attr == "error" and isinstance(call.args[0], ast.Constant))


def manual_page():
    """The page's text, its macros' arguments joined as groff joins them."""
    with open(os.path.join(TOOL, "watch-region.1.in"), encoding="utf-8") as page:
        text = page.read().replace("\\-", "-")
    words = []
    for line in text.splitlines():
        macro, _, rest = line.partition(" ")
        if macro in (".B", ".I"):
            words.append(rest)
        elif macro in (".BR", ".IR", ".RB", ".RI", ".BI", ".IB"):
            words.append("".join(quoted or word for quoted, word in ARGUMENT.findall(rest)))
        elif not line.startswith("."):
            words.append(line)
    return " ".join(words)


def docs():
    with open(os.path.join(SOURCE, "docs", "watch-region.md"), encoding="utf-8") as text:
        return text.read().replace("`", "")


def refused(arguments):
    """Whether the parser refuses ARGUMENTS as a usage error."""
    sys.argv = ["watch-region", *arguments]
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            options.parse_arguments("test")
    except SystemExit as stopped:
        return stopped.code == 2
    return False


def main():
    problems = []
    sources = {"options.py": parser_errors(), "the manual page": manual_page(), "docs": docs()}
    for sentence, before, after in RULES:
        lists = {}
        for name, text in sources.items():
            found = re.findall(sentence, " ".join(text.split()))
            if len(found) != 1:
                problems.append(f"{name}: {len(found)} sentences /{sentence}/, not 1")
            lists[name] = sorted({option.upper() if option.isalpha() else option
                                  for each in found for option in OPTION.findall(each)})
        if len({tuple(each) for each in lists.values()}) != 1:
            problems.append(f"/{sentence}/ lists differ: {lists}")
        for option in lists["options.py"]:
            given = ["prog"] if option == "PROGRAM" else [option, VALUES.get(option, "x"), *after]
            if not refused(before + given):
                problems.append(f"not refused: {' '.join(before + given)}")
    print("\n".join(problems) or "every list of refused options agrees")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
