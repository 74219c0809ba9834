#!/usr/bin/python3
# Prints, as a screen reader finds them over AT-SPI, the texts of the labels
# one program shows (pid in argv[1]), each followed by a NUL byte.
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def shown_labels(node, out):
    try:
        if not node.get_state_set().contains(Atspi.StateType.SHOWING):
            return
        if node.get_role() == Atspi.Role.LABEL and node.get_name():
            out.append(node.get_name())
        for i in range(node.get_child_count()):
            shown_labels(node.get_child_at_index(i), out)
    except gi.repository.GLib.Error:
        pass  # a widget that went while we looked


def main():
    pid = int(sys.argv[1])
    desktop = Atspi.get_desktop(0)
    texts = []
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_process_id() != pid:
            continue
        for j in range(app.get_child_count()):
            shown_labels(app.get_child_at_index(j), texts)
    sys.stdout.write("".join(t + "\0" for t in texts))


main()
