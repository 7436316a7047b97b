"""A progress bar on standard error, for long conversions at a terminal."""

from __future__ import annotations

from typing import TextIO

from orvanel.cli._text import printable

# Below these amounts a conversion takes about a second or less: no bar.
LARGE_CELLS = 1 << 20
LARGE_BYTES = 16 << 20


class ProgressBar:
    """Draws ``label [#####-----]  50%`` on one line, redrawn as the percentage changes.

    Parameters
    ----------
    label : str
        What is being done.
    total : int
        The amount of work, in the units the callback is given.
    stream : text stream
        Where to draw; normally standard error.
    """

    WIDTH = 30

    def __init__(self, label: str, total: int, stream: TextIO) -> None:
        self.label = printable(label)
        self.total = max(total, 1)
        self.stream = stream
        self.done = 0
        self.shown = -1

    def __call__(self, amount: int) -> None:
        self.done = min(self.done + amount, self.total)
        percent = self.done * 100 // self.total
        if percent != self.shown:
            self.shown = percent
            filled = self.done * self.WIDTH // self.total
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            self.stream.write(f"\r{self.label} [{bar}] {percent:3d}%")
            self.stream.flush()

    def close(self) -> None:
        """End the bar's line, if anything was drawn."""
        if self.shown >= 0:
            self.stream.write("\n")
            self.stream.flush()


def progress_bar(
    label: str, total: int, threshold: int, stream: TextIO, quiet: bool
) -> ProgressBar | None:
    """A bar for ``total`` units of work, or None when it is small, quiet or not at a terminal."""
    if quiet or total < threshold or not _is_terminal(stream):
        return None
    return ProgressBar(label, total, stream)


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
