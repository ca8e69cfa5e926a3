"""``kivra bridge`` and ``kivra teleop``: the servo loop on a ROS 2 network, and two arms coupled through it."""

import argparse
import contextlib
import math
import time
from typing import Any, List, Tuple

from .common import INTERRUPTED, _Interrupt


def _arm_on(port: str, stack: contextlib.ExitStack, args: argparse.Namespace) -> Any:
    """The arm at port, or on a new emulator for 'emulator'; closed with stack."""
    from ..arm import Arm
    from ..emulator import Emulator

    if port == "emulator":
        port = stack.enter_context(Emulator("arm")).port
    return stack.enter_context(Arm(port, timeout=args.timeout))


def _handle_on(port: str, stack: contextlib.ExitStack, args: argparse.Namespace) -> Any:
    """The handle at port, or on a new emulator for 'emulator'; closed with stack."""
    from ..emulator import Emulator
    from ..handle import Handle

    if port == "emulator":
        port = stack.enter_context(Emulator("handle")).port
    return stack.enter_context(Handle(port, timeout=args.timeout))


def _loop_on(arm: Any, stack: contextlib.ExitStack, args: argparse.Namespace) -> Any:
    from ..servo import ServoLoop

    loop = ServoLoop(arm, args.rate)
    stack.callback(loop.stop)
    return loop


def _run_until(stop: Any, duration: float, report: Any) -> int:
    deadline = time.monotonic() + duration if duration else math.inf
    next_report = time.monotonic() + 1.0
    # Short waits: a signal handler runs only between them.
    while not stop.is_set() and time.monotonic() < deadline:
        stop.wait(min(0.1, max(0.0, deadline - time.monotonic())))
        if time.monotonic() >= next_report:
            report()
            next_report += 1.0
    return INTERRUPTED if stop.is_set() else 0


def run_bridge(args: argparse.Namespace) -> int:
    """``kivra bridge``: the loop on the arm at --port (or the emulator) on the network."""
    from ..ros2 import Bridge

    with contextlib.ExitStack() as stack:
        stop = stack.enter_context(_Interrupt())
        loop = _loop_on(_arm_on(args.port, stack, args), stack, args)
        handle = _handle_on(args.handle, stack, args) if args.handle else None
        bridge = stack.enter_context(
            Bridge(
                loop,
                args.namespace,
                domain=args.domain,
                state_rate=args.state_rate,
                peer=args.peer,
                coupling_stiffness=args.stiffness,
                coupling_damping=args.damping,
                passivity_control=not args.no_passivity,
                handle=handle,
            )
        )
        print(
            "kivra bridge: /%s/joint_states, pose, twist, wrench, %sdiagnostics; taking /%s/force_command and "
            "/%s/effects%s  (Ctrl-C to stop)"
            % (
                args.namespace,
                "buttons, orientation, " if handle else "",
                args.namespace,
                args.namespace,
                "; coupled to /%s" % args.peer if args.peer else "",
            ),
            flush=True,
        )

        def report() -> None:
            s, loop_stats = bridge.stats(), loop.stats()
            line = "published %d  commands %d (refused %d)  effects %d (refused %d)  missed deadlines %d" % (
                s.published_states,
                s.force_commands,
                s.refused_force_commands,
                s.effects_applied,
                s.refused_effects,
                loop_stats.missed_deadlines,
            )
            if handle:
                line += "  handle frames %d%s" % (
                    s.handle_frames,
                    " (reading ended: %s)" % s.handle_failure if s.handle_failure else "",
                )
            if args.peer:
                c = bridge.coupling()
                line += "  error %.1f mm  observed energy %.4f J" % (c.error * 1e3, c.observed_energy)
            print(line, flush=True)

        status = _run_until(stop, args.duration, report)
    return status


def run_teleop(args: argparse.Namespace) -> int:
    """``kivra teleop``: a leader and a follower arm coupled through two bridges in this process."""
    from ..ros2 import Teleoperation

    with contextlib.ExitStack() as stack:
        stop = stack.enter_context(_Interrupt())
        leader = _loop_on(_arm_on(args.leader, stack, args), stack, args)
        follower = _loop_on(_arm_on(args.follower, stack, args), stack, args)
        coupling = stack.enter_context(
            Teleoperation(
                leader,
                follower,
                stiffness=args.stiffness,
                damping=args.damping,
                passivity_control=not args.no_passivity,
                receive_delay=args.delay,
                receive_loss=args.loss,
                domain=args.domain,
            )
        )
        print("kivra teleop: /leader and /follower coupled  (Ctrl-C to stop)", flush=True)

        def report() -> None:
            sides: Tuple[Any, Any] = coupling.coupling()
            parts: List[str] = []
            for name, side in zip(("leader", "follower"), sides):
                parts.append(
                    "%s: error %.1f mm, observed energy %.4f J, dissipated %.4f J"
                    % (name, side.error * 1e3, side.observed_energy, side.dissipated)
                )
            print("  ".join(parts), flush=True)

        status = _run_until(stop, args.duration, report)
    return status


def _coupling_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--stiffness", type=float, default=200.0, metavar="N/m", help="coupling stiffness (200)")
    p.add_argument("--damping", type=float, default=10.0, metavar="Ns/m", help="coupling damping (10)")
    p.add_argument("--no-passivity", action="store_true", help="leave the coupling without its passivity controller")


def _common_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--rate", type=float, default=1000.0, help="servo rate [Hz] (1000)")
    p.add_argument("--timeout", type=float, default=0.05, help="exchange time-out [s] (0.05)")
    p.add_argument("--domain", type=int, help="DDS domain (default: CYCLONEDDS_URI's, else 0)")
    p.add_argument("--duration", type=float, default=0.0, help="stop after this many seconds (0: until Ctrl-C)")


def add_commands(commands: Any) -> None:
    p: argparse.ArgumentParser = commands.add_parser(
        "bridge",
        help="publish the arm's state on a ROS 2 network and take force commands",
        description="Runs the servo loop on the arm and puts it on the network with ROS 2's conventions "
        "(Cyclone DDS; CYCLONEDDS_URI chooses interfaces and peers).",
    )
    p.add_argument("--port", default="emulator", help="the arm's port, or 'emulator' (the default)")
    p.add_argument("--namespace", default="kivra", help="topics under /NAMESPACE/ (kivra)")
    p.add_argument("--state-rate", type=float, default=1000.0, metavar="HZ", help="state topics' rate (1000)")
    p.add_argument("--peer", help="couple to the arm published under this namespace (teleoperation)")
    p.add_argument(
        "--handle", metavar="PORT", help="also publish the handle at PORT (or 'emulator'): buttons, orientation"
    )
    _coupling_options(p)
    _common_options(p)
    p.set_defaults(run=run_bridge)

    p = commands.add_parser(
        "teleop",
        help="couple a leader and a follower arm through the network bridge",
        description="Each arm is pulled towards the other's position by a spring-damper kept passive by a "
        "time-domain passivity controller; both sides talk over DDS under /leader/ and /follower/.",
    )
    p.add_argument("--leader", default="emulator", help="the leader arm's port, or 'emulator' (the default)")
    p.add_argument("--follower", default="emulator", help="the follower arm's port, or 'emulator' (the default)")
    p.add_argument("--delay", type=float, default=0.0, metavar="S", help="test aid: one-way delay of what arrives")
    p.add_argument("--loss", type=float, default=0.0, metavar="SHARE", help="test aid: share of messages dropped")
    _coupling_options(p)
    _common_options(p)
    p.set_defaults(run=run_teleop)
