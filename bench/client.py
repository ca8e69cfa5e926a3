"""The Python clients of the round-trip benchmark.

    python client.py module PORT     KivraHardwareAPI.Pendra3.end_effector_force
    python client.py pyserial PORT   what a user would write with pyserial

The module is imported from KIVRA_MODULE_DIR when set. Each line "run N" on
standard input makes N exchanges and prints "<cpu ns> <wall ns> <bad replies>"
and then the N latencies in nanoseconds on one line, as the C++ clients do;
"ready" is printed once the port is open.
"""

import os
import struct
import sys
import time


class ModuleClient:
    """The library from Python, as the module's users call it."""

    def __init__(self, path):
        module_dir = os.environ.get("KIVRA_MODULE_DIR")
        if module_dir:
            sys.path.insert(0, module_dir)
        import KivraHardwareAPI

        # The arm only borrows the stream, so the stream is kept here too.
        self.stream = KivraHardwareAPI.SerialStream(path)
        self.arm = KivraHardwareAPI.Pendra3(self.stream)
        self.end_effector_force = self.arm.end_effector_force

    def prepare(self):
        pass


class PyserialClient:
    """The same exchange written with pyserial and struct."""

    def __init__(self, path):
        import serial

        self.port = serial.Serial(path, 115200, timeout=5.0)
        self.request = struct.Struct("<B3f")
        self.state = struct.Struct("<6f")

    def prepare(self):
        self.port.reset_input_buffer()

    def end_effector_force(self, force):
        self.port.write(self.request.pack(42, force[0], force[1], force[2]))
        reply = self.port.read(25)
        if len(reply) != 25 or reply[0] != 43:
            return [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]
        values = self.state.unpack_from(reply, 1)
        return list(values[:3]), list(values[3:])


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("module", "pyserial"):
        sys.stderr.write("usage: client.py module|pyserial PORT\n")
        return 2
    client = (ModuleClient if sys.argv[1] == "module" else PyserialClient)(sys.argv[2])
    end_effector_force = client.end_effector_force
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    clock = time.perf_counter_ns
    cpu_clock = time.process_time_ns
    sequence = 0
    for line in sys.stdin:
        if not line.startswith("run "):
            continue
        count = int(line[4:])
        latencies = [0] * count
        bad = 0
        client.prepare()
        cpu_start = cpu_clock()
        wall_start = clock()
        for i in range(count):
            sequence += 1
            fx = float(sequence % 4096)
            before = clock()
            position, _velocity = end_effector_force([fx, -1.5, 0.25])
            latencies[i] = clock() - before
            if position[0] != fx:
                if not bad:
                    sys.stderr.write("%s: reply %d of %d did not answer its request\n" % (sys.argv[1], i + 1, count))
                bad += 1
        wall = clock() - wall_start
        cpu = cpu_clock() - cpu_start
        sys.stdout.write("%d %d %d\n" % (cpu, wall, bad))
        sys.stdout.write(" ".join(map(str, latencies)) + "\n")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
