"""Host side of the UWB locating system.

A pure-Python companion to the three extension modules: an encoder for
device frames (``frames``), an installation simulator (``simulate``), the
capture format (``capture``), and the replay pipeline that decodes frames
with ``qz_packets``, surveys anchors with ``qz_autopos`` and tracks tags
with ``qz_engine`` (``replay``, ``survey``, ``tracking``), with its
evaluation against ground truth, summary and picture. The command line is
``qz-host`` or ``python -m qz_host``.
"""

__version__ = "0.1.0"
