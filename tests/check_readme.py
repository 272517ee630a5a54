"""Follows README.md as a newcomer would: runs its shell blocks in order in a
fresh clone of the repository, with a home folder of its own and what each
block exports kept for the next, as in one terminal, and checks
that each succeeds and shows (on standard output or error) every line of
the output block that README
shows after it (in any order, since thread order varies; addresses masked).
Lines that need root or install packages (marked "# as root") are skipped,
by name.

usage: python3 tests/check_readme.py
"""

import os
import re
import subprocess
import sys
import tempfile

ADDRESS = re.compile(r"0x[0-9a-f]+")


def blocks(readme):
    """(language, text) of each fenced block, in order."""
    return re.findall(r"^```(\w*)\n(.*?)^```$", readme, re.MULTILINE | re.DOTALL)


def steps(readme):
    """Each shell block with the output block that follows it, if any."""
    found = blocks(readme)
    for i, (language, text) in enumerate(found):
        if language == "sh":
            follows = found[i + 1] if i + 1 < len(found) else ("", "")
            yield text, follows[1] if follows[0] == "text" else None


def main():
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        clone, home = os.path.join(work, "clone"), os.path.join(work, "home")
        exported = os.path.join(work, "exported.sh")
        os.mkdir(home)
        open(exported, "w", encoding="utf-8").close()
        subprocess.run(["git", "clone", "-q", source, clone], check=True)
        with open(os.path.join(clone, "README.md"), encoding="utf-8") as readme:
            text = readme.read()
        for block, expected in steps(text):
            lines = block.splitlines()
            for line in lines:
                if "# as root" in line:
                    print(f"skipped (needs root, or installs packages): {line}")
            commands = "\n".join(line for line in lines if "# as root" not in line)
            if not commands:
                continue
            print(f"running: {commands.splitlines()[0]}", flush=True)
            in_one_terminal = f'source "$0"\n{commands}\nexport -p > "$0"'
            run = subprocess.run(["bash", "-euo", "pipefail", "-c", in_one_terminal, exported],
                                 cwd=clone,
                                 env={**os.environ, "HOME": home}, capture_output=True, text=True,
                                 check=False)
            if run.returncode != 0:
                print(f"FAIL: exit status {run.returncode}\n{run.stdout}{run.stderr}")
                failures += 1
                continue
            if expected is None:
                continue
            # What a terminal shows: the programs' output and watch-region's
            # report, which goes to standard error.
            printed = {ADDRESS.sub("0x…", line)
                       for line in (run.stdout + run.stderr).splitlines()}
            missing = [line for line in expected.splitlines()
                       if ADDRESS.sub("0x…", line) not in printed]
            if missing:
                print("FAIL: README shows lines the command did not print:")
                print("\n".join(f"  {line}" for line in missing))
                print("it printed:\n" + run.stdout)
                failures += 1
    print("README followed: " + ("FAILED" if failures else "every command worked as shown"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
