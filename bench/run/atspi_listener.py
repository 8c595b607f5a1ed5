#!/usr/bin/python3
"""An assistive-technology client on the accessibility bus, registered for every event, as a screen reader is.

Usage: atspi_listener.py: prints "listening" once registered, counts the events it receives until SIGTERM,
then prints "events N".
"""
import signal
import sys

import pyatspi

count = 0


def on_event(event):
    global count
    count += 1
    # A screen reader asks for what changed; the application answers over the bus.
    try:
        event.source.name
    except Exception:
        pass


def stop(*_):
    pyatspi.Registry.stop()


signal.signal(signal.SIGTERM, stop)
for kind in ("object", "window", "focus", "document", "mouse:button"):
    pyatspi.Registry.registerEventListener(on_event, kind)
print("listening", flush=True)
pyatspi.Registry.start()
print("events %d" % count, flush=True)
sys.exit(0)
