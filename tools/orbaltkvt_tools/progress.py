"""The live line `kvt record` and `kvt serve` show on stderr while they run."""
from __future__ import annotations

import time

from rich.console import Console
from rich.live import Live
from rich.text import Text

from .counters import loss_text, viewer_text


class Progress:
    """One live line on stderr: samples written, what each stream kept, file size. On a
    terminal it is redrawn in place; otherwise a line is printed every ``every`` seconds."""

    def __init__(self, every: float = 10.0):
        self.console = Console(stderr=True, highlight=False, emoji=False, soft_wrap=True)
        self.tty = self.console.is_terminal
        self.every = 0.25 if self.tty else every
        self.start = time.monotonic()
        self.next_at = self.start + self.every
        self._live = None

    def text(self, stats: dict) -> str:
        elapsed = max(1e-9, time.monotonic() - self.start)
        parts = []
        if "samples_written" in stats:
            parts.append(f"{stats['samples_written']} samples of both streams written")
        parts += [loss_text(name, stats[name]) for name in ("basic", "extra") if name in stats]
        if stats.get("bytes_written"):
            files = stats.get("files_written", 1)
            parts.append(f"{stats['bytes_written'] / 1e6:.1f} MB"
                         + (f" in {files} files" if files > 1 else ""))
        # The viewers connected now, each with what it was sent and lost.
        parts += [viewer_text(v) for v in stats.get("viewers") or [] if v.get("subscriptions")]
        parts.append(f"{elapsed:.1f} s")
        return "; ".join(parts)

    def tick(self, stats: dict) -> None:
        now = time.monotonic()
        if now < self.next_at:
            return
        self.next_at = now + self.every
        if not self.tty:
            self.console.print(self.text(stats), markup=False)
            return
        # One line even on a narrow terminal: the end is cut rather than wrapped.
        line = Text(self.text(stats), no_wrap=True, overflow="ellipsis")
        if self._live is None:
            # Drawn only when asked (no refresh thread), and stdout left alone: it may be
            # another descriptor than the one the console sees.
            self._live = Live(line, console=self.console, auto_refresh=False, transient=True,
                              redirect_stdout=False, redirect_stderr=False)
            self._live.start()
        self._live.update(line, refresh=True)

    def close(self) -> None:
        """Takes the live line off the terminal."""
        if self._live is not None:
            self._live.stop()
            self._live = None

    def finish(self, prog: str, stats: dict, what: str, more: list[str] = ()) -> None:
        self.close()
        lines = [f"{prog}: {what}"] + [f"{prog}: {m}" for m in more]
        lines += [f"{prog}: {loss_text(name, stats[name])}" for name in ("basic", "extra")
                  if name in stats]
        self.console.print("\n".join(lines), markup=False)
