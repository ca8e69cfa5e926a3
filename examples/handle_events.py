"""The handle's events and status frames, printed as they come.

A subclass of Handle overrides the three event methods and prints each call.
The program first talks request and reply: a wakeup (answered by an info
event), then rounds of a handle state with one byte of user data and a
status request (answered by a status event that echoes that byte). Then it
reads the handle's escaped status frames with GetManiloStatus() and prints
each dict.

The two parts come in this order on purpose: a handle streams its frames
only while no request has come for a moment, so a program that reads frames
and then sends a request may find a frame ahead of the reply.

Without --port it starts the emulator and runs against it.
"""

import argparse
import contextlib
import sys
import time

import KivraHardwareAPI as kivra

from emulated_device import port_or_emulator

# How long the emulated handle keeps its status frames back after a request
# [s]: long enough that a slow first event override (a cold interpreter, an
# emulated processor) cannot let a frame slip in ahead of a reply.
STREAM_HOLD = 2.0


class PrintingHandle(kivra.Handle):
    """Prints every event it receives and remembers the device id."""

    def __init__(self, stream, out):
        kivra.Handle.__init__(self, stream)
        self.out = out
        self.device_id = None

    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, device_model_number, hardware_version,
                            firmware_version):
        self.device_id = device_id
        print(
            "event OnReceiveHandleInfo: tool_data_remaining=%d device_id=%d model=%d hardware=%d firmware=%d"
            % (tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version),
            file=self.out,
        )

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_effect_sensor_level,
                                     user_data_length, user_data):
        print(
            "event OnReceiveHandleStatusMessage: device_id=%d quaternion=[%s] error_flag=%d "
            "hall_effect_sensor_level=%d user_data=%s"
            % (
                device_id,
                ", ".join("%+.4f" % q for q in quaternion),
                error_flag,
                hall_effect_sensor_level,
                list(user_data[:user_data_length]),
            ),
            file=self.out,
        )

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        print("event OnReceiveHandleErrorResponse: device_id=%d error_code=%d" % (device_id, error_code),
              file=self.out)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", help="serial port of the handle (default: start the emulator)")
    parser.add_argument("--rounds", type=int, default=5, help="handle state and status rounds (5)")
    parser.add_argument("--duration", type=float, default=2.0, help="how long to read status frames [s] (2)")
    parser.add_argument("--interval", type=float, default=0.2, help="pause between reads [s] (0.2)")
    parser.add_argument("--emulator", help="kivra-emulator program to start when no --port is given")
    return parser.parse_args(argv)


def run(handle, arguments, out):
    handle.SendDeviceWakeup()
    if handle.Receive() < 0 or handle.device_id is None:
        print("no handle answered the wakeup", file=sys.stderr)
        return 1
    for round_number in range(arguments.rounds):
        user_byte = (round_number * 37) % 256
        handle.SendHandleState(handle.device_id, 1, user_byte)
        handle.RequestStatus()
        count = handle.Receive()
        if count < 0:
            print("no status reply in round %d" % round_number, file=sys.stderr)
            return 1
        time.sleep(arguments.interval)

    # The handle resumes its frames a moment after the last request, so the
    # first reads may find none yet; only a handle that sends none at all
    # within the whole reading time is a failure.
    deadline = time.monotonic() + arguments.duration + STREAM_HOLD
    frames = 0
    while time.monotonic() < deadline:
        status = handle.GetManiloStatus()
        if status["error_flag"] in (99, 3, 2) and status["battery_level"] == 0.0:
            print("no status frame yet (failure code %d)" % status["error_flag"], file=out)
            continue
        print("GetManiloStatus() -> %s" % status, file=out)
        frames += 1
        time.sleep(arguments.interval)
    if frames == 0:
        print("no status frame within %.1f s" % (arguments.duration + STREAM_HOLD), file=sys.stderr)
        return 1
    print("%d status frames read" % frames, file=out)
    return 0


def main(argv=None):
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    with contextlib.ExitStack() as stack:
        port = port_or_emulator(
            stack, "handle", arguments.port, arguments.emulator, ("--stream-hold", str(STREAM_HOLD)))
        if port is None:
            return 1
        stream = kivra.SerialStream(port)
        handle = PrintingHandle(stream, sys.stdout)
        return run(handle, arguments, sys.stdout)


if __name__ == "__main__":
    sys.exit(main())
