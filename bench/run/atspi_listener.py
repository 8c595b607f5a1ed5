#!/usr/bin/python3
"""An assistive-technology client on the accessibility bus, registered for every event, as a screen reader is.

Usage: atspi_listener.py: prints "listening" once registered, counts the events it receives until SIGTERM,
then prints "events N" (and, on standard error, the most frequent kinds of event).
"""
import signal
import sys

import pyatspi

count = 0
kinds = {}


def on_event(event):
    global count
    count += 1
    kinds[event.type] = kinds.get(event.type, 0) + 1
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
print(sorted(kinds.items(), key=lambda k: -k[1])[:12], file=sys.stderr, flush=True)
sys.exit(0)
