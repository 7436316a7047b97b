"""Running the `orvanel` command line as a separate process, and checking its failures."""

import subprocess
import sys
from pathlib import Path

SCRIPT = [str(Path(sys.executable).with_name("orvanel"))]
MODULE = [sys.executable, "-m", "orvanel"]


def orvanel_cli(*args, runner=SCRIPT, **kwargs):
    return subprocess.run([*runner, *map(str, args)], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          **kwargs)


def assert_one_line_failure(result, status, *fragments):
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr and len(result.stderr.splitlines()) == 1, result.stderr
    assert all(fragment in result.stderr for fragment in fragments), result.stderr
