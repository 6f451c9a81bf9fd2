"""The two failures a verb ends with, each reported by the entry point in one line."""
from __future__ import annotations


class ToolError(Exception):
    """A failure the user can act on: reported as one line on stderr, exit status 1."""


class UsageError(Exception):
    """Bad input that argparse could not catch (a malformed serial number): exit status 2."""
