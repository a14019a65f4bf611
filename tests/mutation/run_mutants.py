#!/usr/bin/env python3
"""The mutation check over the kept list: proof that the tests bite.

Each mutant in mutants.txt is one small fault planted in the product code (a
wrong byte on the bus, a wrong retry count, a wrong character in a message, a
skipped check, an off-by-one, a wrong pause, a wrong exit status). They run
through run_generated_mutants.py: each is planted in a scratch copy of the
tree, built incrementally, and the tests that can see it run until one fails.
It prints caught/total and names every survivor.

    tests/mutation/run_mutants.py [--only ID[,ID...]] [--jobs N] [--scratch DIR] [--list FILE]

Exit status: 0 when every mutant was caught, 1 when one survived or could
not be planted (its text no longer matches), 2 on bad use.
"""
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import run_generated_mutants  # noqa: E402

if __name__ == "__main__":
    sys.exit(run_generated_mutants.main(
        ["--list", os.path.join(run_generated_mutants.HERE, "mutants.txt"), *sys.argv[1:]]))
