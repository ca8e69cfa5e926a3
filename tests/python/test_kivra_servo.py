"""kivra.ServoLoop on the emulated arm: effects set from Python shape the force
the loop sends, the loop owns the arm while it runs and gives it back."""

import time

import pytest

from conftest import bound

kivra = pytest.importorskip("kivra")


@pytest.fixture
def arm(emulator):  # noqa: F811
    with kivra.Arm(emulator().path, timeout=1.0) as opened:
        yield opened


def settled_trace(loop, wanted=50, limit=3.0):
    """At least `wanted` consecutive ticks (within `limit` [s]), taken after the last change has settled in."""
    time.sleep(0.05)
    loop.trace()
    ticks = []
    deadline = time.monotonic() + limit
    while len(ticks) < wanted and time.monotonic() < deadline:
        time.sleep(0.02)
        ticks += loop.trace()
    return ticks


@pytest.mark.parametrize(
    "effect, expected",
    [
        (kivra.ConstantForce((0.5, -1.0, 2.0)), lambda position, velocity: (0.5, -1.0, 2.0)),
        (kivra.Spring((0.0, 0.0, 0.1), stiffness=20.0), lambda p, v: (-20 * p[0], -20 * p[1], -20 * (p[2] - 0.1))),
        (kivra.Damping(3.0), lambda p, v: tuple(-3.0 * c for c in v)),
    ],
)
def test_effects_shape_the_force_from_the_previous_tick(arm, effect, expected):
    with kivra.ServoLoop(arm, realtime=False, exchange_timeout=0.05) as loop:
        loop.set_effects(effect)
        ticks = settled_trace(loop)
    assert len(ticks) >= 50 and all(t.status == 0 for t in ticks)
    for before, tick in zip(ticks, ticks[1:]):
        assert tick.force == pytest.approx(expected(before.position, before.velocity), rel=1e-3, abs=1e-4)


def test_force_limit_and_host_force(arm):
    with kivra.ServoLoop(arm, realtime=False, host_force_hold=5.0) as loop:
        loop.set_effects(kivra.ConstantForce((0.0, 0.0, 30.0)), force_limit=2.0)
        assert max(t.force[2] for t in settled_trace(loop)) == pytest.approx(2.0)
        loop.set_effects()
        loop.set_host_force((0.0, 1.0, 0.0))
        ticks = settled_trace(loop, wanted=1)
        assert ticks[-1].host_force == pytest.approx((0.0, 1.0, 0.0))


def test_loop_owns_the_arm_until_it_stops(arm):
    loop = kivra.ServoLoop(arm, rate=500.0, realtime=False, exchange_timeout=0.05)
    assert loop.running
    with pytest.raises(kivra.DeviceBusy, match="a servo loop owns the arm on %s; stop it first" % arm.port):
        arm.exchange_force([0.0, 0.0, 0.0])
    with pytest.raises(kivra.DeviceBusy):
        arm.close()
    time.sleep(bound(0.3))
    loop.stop()
    stats = loop.stats()
    assert not loop.running and stats.failed_exchanges == 0
    # Every deadline is ticked or counted as missed, but for those of the
    # last tick (its wake-up and exchange) and the stop; none is ticked twice.
    deadlines = stats.ticks + stats.missed_deadlines
    last_tick = stats.wakeup_lateness.max + stats.exchange_time.max
    earliest = stats.elapsed - last_tick - bound(0.1)
    assert earliest * 500.0 <= deadlines <= stats.elapsed * 500.0 + 2, (deadlines, stats)
    position, _ = arm.exchange_force([0.0, 0.0, 0.0])
    assert len(position) == 3


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda loop: loop.set_effects(kivra.Spring(), kivra.Spring()), ValueError, "at most one Spring"),
        (lambda loop: loop.set_effects(*[kivra.Wall()] * 5), ValueError, "at most 4 walls"),
        (lambda loop: loop.set_host_force((0.0, float("nan"), 0.0)), ValueError, "host force must be finite"),
        (lambda loop: loop.set_effects(42), TypeError, "not an effect: 42"),
    ],
)
def test_refused_settings(arm, call, error, message):
    with pytest.raises(ValueError, match="host_force_ramp must be a finite number of seconds, 0 or more, got -1"):
        kivra.ServoLoop(arm, host_force_ramp=-1)
    with kivra.ServoLoop(arm, realtime=False) as loop:
        with pytest.raises(error, match=message):
            call(loop)


def test_effects_reads_back_what_the_loop_renders(arm):
    chosen = (kivra.Spring((0.0, 0.0, 0.1), 20.0, 1.0), kivra.Wall((0.0, 0.0, -0.05), (0.0, 0.0, 1.0), 500.0, 2.0),
              kivra.Damping(0.5), kivra.ConstantForce((0.0, 0.0, 1.5)))
    with kivra.ServoLoop(arm, realtime=False) as loop:
        assert loop.effects() == kivra.EffectSet((), 10.0)
        loop.set_effects(*chosen, force_limit=4.0)
        rendered = loop.effects()
    assert rendered.force_limit == 4.0
    assert [type(e) for e in rendered.effects] == [type(e) for e in chosen]
    for got, wanted in zip(rendered.effects, chosen):
        for field in got._fields:
            assert getattr(got, field) == pytest.approx(getattr(wanted, field))


@pytest.mark.parametrize("hold, ramp", [(0.02, 0.04), (0.06, 0.01)])
def test_a_host_force_holds_then_ramps_as_the_loop_was_told(arm, hold, ramp):
    with kivra.ServoLoop(arm, realtime=False, host_force_hold=hold, host_force_ramp=ramp) as loop:
        time.sleep(0.05)
        loop.trace()
        before = loop.stats().elapsed  # on the loop's clock
        loop.set_host_force((0.0, 0.0, 1.0))
        after = loop.stats().elapsed
        time.sleep(hold + ramp + bound(0.1))
        ramping = [t for t in loop.trace() if 0.0 < t.host_force[2] < 1.0]
    # Where each tick of the ramp puts the ramp's start, were the ramp as
    # long as asked: ticks are stamped with their deadlines and ramp by the
    # time they woke, which is later by their lateness; the least late of
    # them comes closest. The ramp starts hold after the force was set.
    starts = [t.time - (1.0 - t.host_force[2]) * ramp for t in ramping]
    assert len(starts) >= 2
    assert before + hold - 0.002 < max(starts) <= after + hold + 1e-6
    assert max(starts) - min(starts) < 0.5 * ramp  # a ramp of another length would spread them over it


@pytest.mark.parametrize(
    "last_failure, realtime_errno, name, error",
    [(0, 0, "KIVRA_OK", ""), (1, 1, "KIVRA_TIMED_OUT", "Operation not permitted"),
     (2, 12, "KIVRA_HUNG_UP", "Cannot allocate memory")],
)
def test_statistics_name_their_codes(last_failure, realtime_errno, name, error):
    zero = kivra.Percentiles(0.0, 0.0, 0.0, 0.0)
    stats = kivra.LoopStatistics(*[0] * 10, zero, zero, 0.0, False, False, realtime_errno, last_failure, 0)
    assert (stats.last_failure_name, stats.realtime_error, stats.realtime_errno) == (name, error, realtime_errno)


def test_a_silent_arm_shows_as_timeouts_in_words(emulator):
    with kivra.Arm(emulator("--silent").path, timeout=0.05) as arm, kivra.ServoLoop(arm, 100.0) as loop:
        time.sleep(bound(0.2))
        stats, state = loop.stats(), loop.state()
    assert stats.last_failure_name == state.status_name == "KIVRA_TIMED_OUT"
