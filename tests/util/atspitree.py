#!/usr/bin/python3
# Prints one window of a running program as a screen reader reads it over
# the AT-SPI bus: one JSON list a node, [depth, focusable, name, interfaces].
# Arguments: the program's process id, the window's title, seconds to wait
# for the program to show up on the bus.
import json
import sys
import time

import pyatspi


def walk(node, depth):
    focusable = node.getState().contains(pyatspi.STATE_FOCUSABLE)
    print(json.dumps([depth, focusable, node.name or "", node.get_interfaces()]))
    for index in range(node.childCount):
        child = node.getChildAtIndex(index)
        if child is not None:
            walk(child, depth + 1)


def main():
    pid, title, patience = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    deadline = time.monotonic() + patience
    desktop = pyatspi.Registry.getDesktop(0)
    while True:
        for app in desktop:
            if app is None or app.get_process_id() != pid:
                continue
            for window in app:
                if window is not None and window.name == title:
                    walk(window, 0)
                    return 0
        if time.monotonic() > deadline:
            print(f"no window '{title}' of process {pid} on the accessibility bus", file=sys.stderr)
            return 1
        time.sleep(0.1)


sys.exit(main())
