import math
import os
import time

import cffi
import pytest
from conftest import TIME_SCALE

kivra = pytest.importorskip("kivra")

# Built with the kivra package under test (<build>/python/kivra), for its processor.
MAGNET = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(kivra.__file__)))),
                      "examples", "magnet_law.so")
needs_magnet = pytest.mark.skipif(not os.path.exists(MAGNET), reason="no %s: build examples/magnet_law.c" % MAGNET)


@pytest.fixture
def arm(emulator):
    with kivra.Arm(emulator().path, timeout=1.0) as opened:
        yield opened


def until(condition, limit=5.0):
    deadline = time.monotonic() + limit
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.005)
    return condition()


@needs_magnet
@pytest.mark.parametrize("by", ["path", "cffi function"])
def test_a_force_law_in_c_pulls_the_arm_towards_its_magnet(arm, by):
    start, _ = arm.exchange_force((0.0, 0.0, 0.0))
    magnet = (start[0] + 0.05, start[1], start[2])
    # Strong enough to be held at its 1.5 N cap everywhere near the arm.
    context = kivra.scene.ffi.new("double[5]", [*magnet, 1.0, 1.5])
    with kivra.ServoLoop(arm, realtime=False) as loop:
        if by == "path":
            loop.add_c_effect(MAGNET, context=context)
        else:
            # A function compiled elsewhere, here found through a cffi module of its own.
            own = cffi.FFI()
            own.cdef("void kivra_force_law(const void*, double*, void*);")
            law = own.dlopen(MAGNET)
            address = int(own.cast("uintptr_t", own.addressof(law, "kivra_force_law")))
            loop.set_scene(kivra.CForceLaw(function=address, context=context))
        assert until(lambda: loop.state().force[0] > 0.0)
        fx, fy, fz = loop.state().force
        assert math.hypot(fx, fy, fz) == pytest.approx(1.5, rel=1e-5)
        assert fx > 0.9 * 1.5  # towards the magnet, along +x where it sits
        stats = loop.scene_stats()
        # An emulated processor may overrun the law's time budget now and then: that tick is dropped, never late.
        assert stats.released_shapes == 0 and (stats.dropped_effect_ticks == 0 or TIME_SCALE > 1), stats


@pytest.mark.parametrize("rate, refused", [(1000.0, True), (4000.0, False)])
def test_a_wall_too_stiff_for_the_rate_is_refused_with_the_bound(arm, rate, refused):
    sphere = kivra.Sphere(0.02, kivra.Material(5000.0, 1.0), position=(0.0, 0.0, -1.0))
    with kivra.ServoLoop(arm, rate=rate, realtime=False) as loop:
        if refused:
            with pytest.raises(ValueError, match="5000 N/m is above 3000 N/m, the most a 1000 Hz loop keeps passive"):
                loop.set_scene(sphere)
            loop.set_scene(sphere._replace(allow_active=True))  # on the program's word
        else:
            loop.set_scene(sphere)
        assert loop.scene() == (sphere._replace(allow_active=refused),)


@pytest.mark.parametrize(
    "part, message",
    [
        (kivra.Sphere(-0.01, kivra.Material(100.0)), "Sphere: sphere radius must be finite and above 0"),
        (kivra.Box((0.1, 0.1), kivra.Material(100.0)), "half_extents has 3 components"),
        (kivra.Mesh("/nonexistent.stl", kivra.Material(100.0)), "Mesh: /nonexistent.stl"),
        (kivra.Guide([(0, 0, 0), (0.1, 0, 0)], 100.0, max_force=0.0), "Guide: Guide max_force"),
        (kivra.CForceLaw(path="/nonexistent.so"), "CForceLaw: cannot load /nonexistent.so"),
    ],
)
def test_a_bad_part_is_refused_before_the_scene_changes(arm, part, message):
    with kivra.ServoLoop(arm, realtime=False) as loop:
        loop.set_scene(kivra.Vibration(0.1, 5.0, (0.0, 0.0, 1.0)))
        with pytest.raises(ValueError, match=message.replace("(", r"\(")):
            loop.set_scene(part)
        assert loop.scene() == (kivra.Vibration(0.1, 5.0, (0.0, 0.0, 1.0)),)
