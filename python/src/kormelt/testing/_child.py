"""Ending a child process that may still run. It uses nothing but the
standard library, so the command-line tests load it from the tree by its
path, as they load the request log's reader."""

from __future__ import annotations

import subprocess


def stop_child(process: subprocess.Popen, timeout_s: float) -> int:
    """Asks a child that still runs to end (SIGTERM), as a daemon is stopped,
    and kills it if it has not within timeout_s; returns its exit code."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode
