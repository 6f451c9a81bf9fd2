"""kvt: the command-line entry point. It only builds the parser and dispatches to a verb.

Exit status: 0 on success, 1 on a failure the user can act on (one line on stderr), 2 on bad
usage. A closed output pipe (kvt echo ... | head) ends the command quietly.
"""
from __future__ import annotations

import argparse
import os
import signal
import sys

from . import __version__
from .errors import ToolError, UsageError
from .verbs import echo, export, info, monitor, plot, record, recover, serve

VERBS = (info, echo, record, serve, export, plot, recover, monitor)


def verb_names() -> list[str]:
    return [verb.NAME for verb in VERBS]


def build_parser() -> argparse.ArgumentParser:
    names = verb_names()
    parser = argparse.ArgumentParser(
        prog="kvt", description=f"The live data of one robot read with orbaltkvt, and its "
        f"recordings: {', '.join(names[:-1])} and {names[-1]}. Run it where the robot is "
        "reachable (next to the simulator: inside scripts/netns).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show the orbaltkvt library's own log lines on stderr")
    sub = parser.add_subparsers(dest="verb", metavar="VERB", required=True)
    for verb in VERBS:
        verb.add_parser(sub)
    return parser


def _keep_stdout_for_output(library_log: bool) -> None:
    """Gives sys.stdout a private copy of file descriptor 1 and points 1 at stderr (or nowhere).

    The native library logs to the process's stdout; this keeps those lines off the output a
    program reads (JSON lines, --json). By default they are dropped, so that an expected failure
    ends with exactly one line on stderr.
    """
    sys.stdout.flush()
    out = os.dup(1)
    if library_log:
        os.dup2(2, 1)
    else:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    sys.stdout = os.fdopen(out, "w", buffering=1, encoding="utf-8", closefd=True)


def _quiet_stdout() -> None:
    """After the reader closed the pipe: nothing more may reach it, not even at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    _keep_stdout_for_output(args.verbose)
    # SIGINT even where the parent ignored it (a background job), and SIGTERM, end every verb
    # as Ctrl-C does; record and serve take them over while their file is open.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    prog = f"kvt {args.verb}"
    try:
        return args.run(args) or 0
    except UsageError as exc:
        parser.exit(2, f"{prog}: error: {exc}\n")
    except ToolError as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        _quiet_stdout()
        return 0
    except KeyboardInterrupt:
        return 130
    finally:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _quiet_stdout()
