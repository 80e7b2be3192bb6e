"""The one way the results tool fails: a line for stderr and an exit status."""

import sys

PROG = "matmul-results"


class Failure(Exception):
    """One line for stderr and an exit status."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def say(message):
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)
