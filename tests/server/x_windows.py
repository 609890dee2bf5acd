#!/usr/bin/python3
"""Finds and closes the program's windows on an X display, as a user would with the close box.

  wait TITLE     until a mapped top-level window of that title is there (30 s at most)
  close TITLE    asks that window to close (WM_DELETE_WINDOW)

Exit status 0 when the window was there, 1 otherwise.
"""
import sys
import time

from Xlib import X, display
from Xlib.protocol import event


def title_of(d, window):
    """The window's _NET_WM_NAME, else its WM_NAME; None when it has neither or is gone."""
    try:
        prop = window.get_full_property(d.intern_atom("_NET_WM_NAME"), d.intern_atom("UTF8_STRING"))
        value = (prop.value if prop else None) or window.get_wm_name()
    except Exception:
        return None
    return value.decode() if isinstance(value, bytes) else value


def find(d, title):
    for window in d.screen().root.query_tree().children:
        try:
            mapped = window.get_attributes().map_state == X.IsViewable
        except Exception:
            continue
        if mapped and title_of(d, window) == title:
            return window
    return None


def main():
    command, title = sys.argv[1], sys.argv[2]
    d = display.Display()
    deadline = time.monotonic() + 30  # a loaded machine may take its time
    window = find(d, title)
    while window is None and time.monotonic() < deadline:
        time.sleep(0.05)
        window = find(d, title)
    if window is None:
        return 1
    if command == "close":
        protocols = d.intern_atom("WM_PROTOCOLS")
        delete = d.intern_atom("WM_DELETE_WINDOW")
        message = event.ClientMessage(window=window, client_type=protocols,
                                      data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(message)
        d.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
