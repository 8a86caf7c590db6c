"""Off the default path: one rope shared by threads, Ctrl-C during a long run, objects that were
never constructed, arguments of the wrong kind, exceptions that travel between processes."""

import os
import pickle
import signal
import threading
import time

import numpy as np
import pytest

import ropesim
from ropesim._native import NativeRope


def test_two_threads_sharing_a_rope_take_turns():
    alone = ropesim.Rope()
    alone.advance(100)
    shared = ropesim.Rope()
    threads = [threading.Thread(target=shared.advance, args=(50,)) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert shared.time == alone.time
    assert shared.state.tobytes() == alone.state.tobytes()


@pytest.mark.parametrize("run", [
    lambda rope: rope.advance(10**12),
    lambda rope: rope.advance(10**12, progress=True),
    lambda rope: rope.simulate(1e8, every=10**5),
    lambda rope: rope.run_measuring(1e8),
])
def test_ctrl_c_stops_a_long_run_at_its_last_completed_frame(run):
    rope = ropesim.Rope()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        run(rope)
    assert time.monotonic() - started < 5.0  # generous: the run checks every 20 ms
    timer.join()
    frames = round(rope.time / ropesim.FRAME_SPAN)
    assert frames > 0
    # Left exactly where an uninterrupted rope is after as many frames, and it runs on.
    again = ropesim.Rope()
    again.advance(frames)
    assert rope.time == again.time and rope.state.tobytes() == again.state.tobytes()
    rope.advance(1)
    again.advance(1)
    assert rope.state.tobytes() == again.state.tobytes()


class _UnwritableStream:
    def write(self, *_):
        raise OSError("the terminal is gone")
    flush = write


# No standard error to draw on, or one that fails: the run completes as without a bar (a sweep's
# worker processes need a working standard error of their own).
@pytest.mark.parametrize("run, stderr", [
    (lambda rope, bar: (rope.advance(30, progress=bar), rope.state)[1], None),
    (lambda rope, bar: (rope.advance(30, progress=bar), rope.state)[1], _UnwritableStream()),
    (lambda rope, bar: rope.simulate(0.3, progress=bar)[1], _UnwritableStream()),
    (lambda rope, bar: ropesim.sweep({"links": 3}, {"gravity": [9.8, 5.0]}, duration=0.1,
                                     workers=1, progress=bar)["energy"], None),
])
def test_a_progress_bar_never_ends_a_run(monkeypatch, stderr, run):
    expected = run(ropesim.Rope(), False)
    monkeypatch.setattr("sys.stderr", stderr)
    got = run(ropesim.Rope(), True)
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("call", [
    lambda r: r.advance(5), lambda r: r.time, lambda r: r.q, lambda r: r.placements(),
    lambda r: r.rhs(np.zeros(58)), lambda r: r.set_target(1, 0.0),
])
def test_an_unconstructed_engine_raises(call):
    with pytest.raises(TypeError, match="never constructed"):
        call(NativeRope.__new__(NativeRope))


def _rows_filling_memory(numbers_per_row):
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // (8 * numbers_per_row)


@pytest.mark.parametrize("call, error, words", [
    (lambda r: r.set_target(1.9, 0.0), TypeError, "carriage"),
    (lambda r: r.set_target("1", 0.0), TypeError, "carriage"),
    (lambda r: r.set_target(3, 0.0), ValueError, "carriage must be 1 or 2"),
    (lambda r: r.set_target(1, float("nan")), ValueError, "x must be finite"),
    (lambda r: r.advance(1.7), TypeError, "frames"),
    (lambda r: r.advance(-1), ValueError, "frames"),
    (lambda r: r.advance(True), TypeError, "frames"),
    (lambda r: r.simulate(1.0, every=1.5), TypeError, "every"),
    (lambda r: r.simulate(1.0, every=0), ValueError, "every"),
    (lambda r: r.simulate(float("inf")), ValueError, "duration"),
    (lambda r: r.simulate(1e17), ValueError, "duration"),
    (lambda r: r.run_measuring(float("nan")), ValueError, "duration"),
    (lambda r: r.simulate(1.0, targets=[(3, 0.5, 0.0)]), ValueError, "carriage must be 1 or 2"),
    (lambda r: r.simulate(1.0, targets=[(1, 0.5, float("nan"))]), ValueError, "time"),
    (lambda r: r.rhs(np.array(["1"] * 58)), TypeError, "real numbers"),
    (lambda r: r.rhs(np.zeros(57)), ValueError, "58"),
    (lambda r: r.rhs(np.full(58, np.inf)), ValueError, "finite"),
    (lambda r: r.simulate(10**400), ValueError, "duration is out of range"),
    (lambda r: r.set_target(1, np.longdouble(2.0) ** 1100), ValueError, "x is out of range"),
    (lambda r: r.use_integrator("rk4", 10**400), ValueError, "tolerance is out of range"),
    (lambda r: r.simulate(1.0, placements=1), TypeError, "placements must be True or False"),
    (lambda r: r.advance(1, progress="yes"), TypeError, "progress must be True or False"),
    # 1e11 rows of 59 numbers: refused before the run, naming the size.
    (lambda r: r.simulate(1e9), MemoryError, r"4\.72e\+13 bytes \(4\.72e\+04 GB\)"),
    # Rows whose times and states would fit, but not with 78 placement values more in each.
    (lambda r: r.simulate(_rows_filling_memory(100) * ropesim.FRAME_SPAN, placements=True),
     MemoryError, "bytes"),
])
def test_wrong_arguments_raise_naming_them(call, error, words):
    rope = ropesim.Rope()
    with pytest.raises(error, match=words):
        call(rope)
    assert rope.time == 0.0


@pytest.mark.parametrize("parameters, words", [
    ({"links": np.bool_(True)}, "key 'links' needs a whole number"),
    ({"links": [5]}, "key 'links' needs a whole number"),
    ({"links": 5.0}, "key 'links' needs a whole number"),
    ({"carriage_mass": [True, 2]}, "key 'carriage_mass' needs one number or two"),
    ({"link_length": "x"}, "key 'link_length' needs a number, got 'x'"),
    ({"model": "rope.toml\0junk"}, "NUL"),
    ({"gravity": 10**400}, "key 'gravity' is out of range"),
    ({"link_mass": [-10**400] * 25}, "key 'link_mass' is out of range"),
])
def test_parameters_of_the_wrong_kind_are_refused(parameters, words):
    with pytest.raises(ValueError, match=words):
        ropesim.Rope(**parameters)


def test_numpy_values_are_taken_as_numbers():
    plain = ropesim.Rope(links=7, carriage_mass=(50.0, 80.0))
    numpy = ropesim.Rope(links=np.int64(7), carriage_mass=np.array([50.0, 80.0]))
    assert plain.rhs(plain.state).tobytes() == numpy.rhs(numpy.state).tobytes()


@pytest.mark.parametrize("kind", [np.float16, np.float32, np.longdouble])
def test_numpy_floats_of_any_width_are_taken_where_floats_are(kind):
    def run(number):
        rope = ropesim.Rope(links=3, gravity=number(9.5), carriage_mass=np.array([50, 80], kind),
                            integrator="rkf45", tolerance=number(1e-3))
        rope.set_target(1, number(-0.25))
        _, states = rope.simulate(number(0.05), targets=[(2, number(0.5), number(0.02))])
        return rope.integrator, states.tobytes()
    assert run(kind) == run(lambda value: float(kind(value)))


@pytest.mark.parametrize("kind", [ropesim.Diverged, ropesim.EngineError])
def test_run_errors_pickle_with_their_fields(kind):
    error = pickle.loads(pickle.dumps(kind("went wrong", 1.25)))
    assert type(error) is kind and isinstance(error, RuntimeError)
    assert (error.message, error.time) == ("went wrong", 1.25)
    assert str(error) == "went wrong (t = 1.25 s)"
    assert not issubclass(ropesim.EngineError, ropesim.Diverged)
