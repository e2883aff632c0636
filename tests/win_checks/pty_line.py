#!/usr/bin/python3
"""Runs a command with a pseudo-terminal standing behind a fixed path.

usage: pty_line.py --link PATH [--mode echo|silent] -- COMMAND [ARG...]

PATH (the link the Wine prefix maps COM3 to) is re-pointed at the slave side
of a new pseudo-terminal. This helper keeps the master side: in echo mode it
sends every byte it receives straight back, in silent mode it swallows them.
The exit status is the command's; the link is removed afterwards.
"""

import argparse
import os
import select
import subprocess
import sys
import threading
import tty

POLL_INTERVAL_S = 0.05  # how often the line thread looks at the stop flag


def serve(master, echo, stop):
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], POLL_INTERVAL_S)
        if not ready:
            continue
        data = os.read(master, 4096)
        if echo:
            view = memoryview(data)
            while view:
                view = view[os.write(master, view):]


def point_link(link, target):
    # Replace atomically, so a reader never finds the link missing.
    temporary = "%s.%d" % (link, os.getpid())
    os.symlink(target, temporary)
    os.replace(temporary, link)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link", required=True)
    parser.add_argument("--mode", choices=("echo", "silent"), default="echo")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()

    master, slave = os.openpty()
    # Raw from the start: bytes written before the program under test sets
    # the line up must not be echoed or cooked by the terminal layer. The
    # slave stays open here so the master never sees a hang-up between two
    # opens of the port.
    tty.setraw(slave)
    point_link(args.link, os.ttyname(slave))

    stop = threading.Event()
    line = threading.Thread(target=serve, args=(master, args.mode == "echo", stop), daemon=True)
    line.start()
    try:
        status = subprocess.call(args.command)
    finally:
        stop.set()
        line.join()
        if os.path.islink(args.link) and os.readlink(args.link) == os.ttyname(slave):
            os.unlink(args.link)
        os.close(master)
        os.close(slave)
    return status


if __name__ == "__main__":
    sys.exit(main())
