"""Host side of the UWB locating system.

A pure-Python companion to the extension modules. The command line is
``qz-host`` or ``python -m qz_host`` (``cli``), with one module per command
in ``commands``: ``simulate`` (a simulated capture and its ground truth),
``replay`` (decode, survey, track, the summary), ``demo`` (the bundled
capture replayed), ``view`` (a capture replayed into the map in the
browser), ``live`` (tags tracked live from a port or the network, fixes out
to JSON lines, CSV, MQTT and the map), ``emit`` (a capture played into a
port or socket), ``calibrate`` (range offsets from a capture with truth)
and ``site`` (a site file checked).

Every path runs the same stages: frames (``framing``) to messages
(``messages``), inter-anchor distances to a survey (``survey``), tag
messages to fixes (``track_stage`` over ``tracking``), fixes to the sinks
(``sinks``, ``mqtt``, ``web``); ``pipeline`` chains them for replay, view
and live alike.
"""

__version__ = "0.1.0"
