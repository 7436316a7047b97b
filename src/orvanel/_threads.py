"""How many threads a matrix file is read or written with.

Once a file's records are framed they are independent, so their payloads are decoded
(or encoded) on several threads; the result does not depend on how many.
"""

from __future__ import annotations

import numbers
import os

ENVIRONMENT_VARIABLE = "ORVANEL_NUM_THREADS"

# At most this many threads by default. Loading and writing stream values through
# memory: past a handful of threads the memory bus, not the processors, sets the pace,
# and more threads only cost start-up time and buffers. Ask for more explicitly (or in
# the environment variable) on a machine where they pay.
DEFAULT_THREAD_CAP = 8


def available_cores() -> int:
    """The number of processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not every platform can tell
        return os.cpu_count() or 1


def _from_environment(text: str) -> int:
    try:
        value = int(text.strip(), 10)
    except ValueError:
        value = 0
    if value < 1:
        raise ValueError(
            f"the environment variable {ENVIRONMENT_VARIABLE} must be a whole number of at "
            f"least 1 (got {text!r})"
        )
    return value


def resolve_threads(threads: int | None) -> int:
    """The number of threads to use: ``threads`` when given; else the environment
    variable ``ORVANEL_NUM_THREADS`` when set; else the processors this process may run
    on, at most `DEFAULT_THREAD_CAP`."""
    if threads is None:
        text = os.environ.get(ENVIRONMENT_VARIABLE, "")
        if text.strip():
            return _from_environment(text)
        return max(1, min(DEFAULT_THREAD_CAP, available_cores()))
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be an int or None (got {type(threads).__name__})")
    if threads < 1:
        raise ValueError(f"threads must be at least 1 (got {threads})")
    return int(threads)
