"""The mutation gate: each row of MUTANTS is a small change that a real
regression could make. It is applied to a copy of the tree, which is rebuilt
and run against the suite that must catch it; a mutant that every test lets
through (a survivor) fails the gate, by name.

usage: python3 tests/mutation_gate.py
Works in build/mutants/ and takes a few minutes.
"""

import os
import re
import shutil
import subprocess
import sys
import time

SUM = "parallel_sum/new_test_file"
HELLO = "parallel_hello/new_test_file"
SUM_PRAGMA = "#pragma omp parallel for default(none) shared(values) schedule(static) reduction(+ : total)"
SUM_LOOP_BODY = "        total += values[i];"
GREETING = '        std::printf("Hello from thread %d of %d\\n", thread, team_size);'
QUERIES = ("        const int team_size = omp_get_num_threads();\n"
           "        const int thread = omp_get_thread_num();")

# name, the suites (each a configure, build and test preset) that must each
# kill it, the file, and the changes: (text, replacement), each text found
# exactly once.
MUTANTS = [
    ("SIZE is 101", ("default",), SUM, [("SIZE = 100", "SIZE = 101")]),
    ("the sum starts at 1", ("default",), SUM, [("int total = 0;", "int total = 1;")]),
    ("the loop skips index 0", ("default",), SUM, [("(int i = 0;", "(int i = 1;")]),
    ("a printf inside the region", ("default",), SUM,
     [(SUM_LOOP_BODY, SUM_LOOP_BODY + '\n        std::puts("adding");')]),
    ("a critical section around the addition", ("default", "clang"), SUM,
     [(SUM_LOOP_BODY, "#pragma omp critical\n" + SUM_LOOP_BODY)]),
    ("schedule(dynamic)", ("default", "clang"), SUM, [("schedule(static)", "schedule(dynamic)")]),
    ("schedule(static, 1): strides, not blocks", ("default",), SUM,
     [("schedule(static)", "schedule(static, 1)")]),
    ("num_threads(1)", ("default", "clang"), SUM, [("schedule(static)", "schedule(static) num_threads(1)")]),
    ("an atomic addition per element instead of the reduction", ("default",), SUM,
     [(SUM_PRAGMA, SUM_PRAGMA.replace("shared(values)", "shared(values, total)")
       .replace(" reduction(+ : total)", "")),
      (SUM_LOOP_BODY, "#pragma omp atomic\n" + SUM_LOOP_BODY)]),
    ("the reduction removed: a race on the total", ("tsan", "clang-tsan"), SUM,
     [("reduction(+ : total)", "shared(total)")]),
    ("a failed write exits 0", ("default",), SUM,
     [('std::perror("parallel_sum: write error");\n        return 1;',
       'std::perror("parallel_sum: write error");\n        return 0;')]),
    ("the greeting split over two printf calls", ("default",), HELLO,
     [(GREETING, '        std::printf("Hello from thread %d ", thread);\n'
                 '        std::printf("of %d\\n", team_size);')]),
    ("a line printed from main", ("default",), HELLO,
     [("    }\n    // Close standard output", '    }\n    std::puts("done");\n    // Close standard output')]),
    ("the two numbers swapped", ("default",), HELLO, [("thread, team_size);", "team_size, thread);")]),
    ("the thread number asked before the team size", ("default",), HELLO,
     [(QUERIES, "\n".join(reversed(QUERIES.split("\n"))))]),
    ("omp_get_max_threads for the team size", ("default",), HELLO,
     [("omp_get_num_threads()", "omp_get_max_threads()")]),
    ("only the master thread greets", ("default",), HELLO,
     [(GREETING, "#pragma omp master\n" + GREETING)]),
    ("a team of 2 whatever the default", ("default",), HELLO,
     [("#pragma omp parallel default(none)", "#pragma omp parallel default(none) num_threads(2)")]),
    ("a worker's failed write reported with main's errno", ("default",), HELLO,
     [("if (close_failed && errno != 0)", "if (earlier_write_failed || close_failed)")]),
    ("built with exceptions: a terminate guard and libstdc++", ("default", "clang"),
     "CMakeLists.txt", [(" -fno-exceptions)", ")")]),
    ("every library the compiler driver names is recorded as needed", ("clang",),
     "CMakeLists.txt", [("  target_link_options(${target} PRIVATE LINKER:--as-needed)\n", "")]),
    ("debug information, and with it the build folder, in the release build", ("default",),
     "CMakeLists.txt", [(" -fno-exceptions)", " -fno-exceptions -g)")]),
    ("the package's dependencies not worked out", ("default",),
     "CMakeLists.txt", [("CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON", "CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF")]),
    ("unstripped programs in the package", ("default",),
     "CMakeLists.txt", [("set(CPACK_STRIP_FILES ON)", "set(CPACK_STRIP_FILES OFF)")]),
    ("a misspelt macro in a manual page", ("default",),
     "man/parallel_sum.1.in", [(".SH EXAMPLES", ".Sh EXAMPLES")]),
]


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, check=False)


def main():
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tree = os.path.join(source, "build", "mutants", "tree")
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(source, tree, ignore=lambda folder, names:
                    {"build", ".git"} & set(names) if folder == source else set())
    for suite in sorted({suite for row in MUTANTS for suite in row[1]}):
        configure = run(["cmake", "--preset", suite], tree)
        if configure.returncode != 0:
            sys.exit(f"cannot configure the {suite} build:\n{configure.stdout}{configure.stderr}")

    survivors = []
    for name, suites, path, changes in MUTANTS:
        original = open(os.path.join(source, path), encoding="utf-8").read()
        mutated = original
        for text, replacement in changes:
            if mutated.count(text) != 1:
                survivors.append(name)
                print(f"BROKEN  {name}: {path} does not hold this text exactly once: {text!r}")
                break
            mutated = mutated.replace(text, replacement)
        else:
            with open(os.path.join(tree, path), "w", encoding="utf-8") as target:
                target.write(mutated)
            for suite in suites:
                started = time.monotonic()
                verdict = killer(tree, suite)
                if verdict == "":
                    survivors.append(f"{name} ({suite})")
                    print(f"BROKEN  {name}: the mutant does not build, so it tests nothing")
                elif verdict is None:
                    survivors.append(f"{name} ({suite})")
                    print(f"SURVIVED  {name}: the whole {suite} suite passed")
                else:
                    print(f"killed  {name}  by {verdict} ({suite}, {time.monotonic() - started:.0f} s)")
        with open(os.path.join(tree, path), "w", encoding="utf-8") as target:
            target.write(original)

    if survivors:
        print(f"\nnot killed: {', '.join(survivors)}")
        return 1
    print(f"\nall {len(MUTANTS)} mutants killed")
    return 0


def killer(tree, suite):
    """Builds the mutant and runs the suite up to its first failure; returns
    what failed, None when everything passed, or "" when it does not build."""
    if run(["cmake", "--build", "--preset", suite], tree).returncode != 0:
        return ""
    test = run(["ctest", "--preset", suite, "--stop-on-failure"], tree)
    if test.returncode == 0:
        return None
    failed = re.findall(r"^\s*\d+ - (\S+) \(", test.stdout, re.MULTILINE)
    return "test " + ", ".join(failed) if failed else "ctest (exit %d)" % test.returncode


if __name__ == "__main__":
    sys.exit(main())
