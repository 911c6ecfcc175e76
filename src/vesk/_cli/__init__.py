"""The `vesk` command: look into VESK files and get their data out in open formats.

One subcommand per task, each in its own module (`listing`, `comparing`, `exporting`,
`pictures`, `plotting`), `command` the parser and the exit status. This module, the
entry point, imports nothing more itself: a Ctrl-C while the others load (a
tenth of a second) ends the command as one while it runs does, not with a
traceback.
"""
import sys
from typing import List, Optional


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    try:
        from .command import main as run
        return run(argv)
    except KeyboardInterrupt:  # before the command took Ctrl-C as its own
        try:
            sys.stderr.write("vesk: interrupted\n")
            sys.stderr.flush()
        except (AttributeError, OSError, ValueError):  # `2>&-`, or closed meanwhile
            pass
        return 130
