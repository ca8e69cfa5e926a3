"""The examples' port: the one given, or an emulated device started for the run.

``kivra.Emulator`` starts the emulator shipped with the package; this module
only decides whether one is needed and says which port a run uses.
"""

import contextlib
import os
import sys
from typing import Optional, Sequence

import kivra


def port_or_emulator(
    stack: contextlib.ExitStack,
    device: str,
    port: Optional[str],
    emulator: Optional[str] = None,
    options: Sequence[str] = (),
    realtime_priority: Optional[int] = None,
) -> Optional[str]:
    """The given port, or the port of an emulator started for this run and
    stopped with `stack`; None (after saying why) for a port that does not
    exist."""
    if port is None:
        started = stack.enter_context(
            kivra.Emulator(device, options, program=emulator, realtime_priority=realtime_priority)
        )
        print("no --port given: emulated %s on %s" % (device, started.port))
        return started.port
    if not os.path.exists(port):
        print("no such port: %s" % port, file=sys.stderr)
        return None
    return port
