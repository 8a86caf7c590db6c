"""The rope simulator's engine from Python: ropes as NumPy arrays, scripted runs, parameter sweeps.

    import ropesim
    rope = ropesim.Rope(links=30, joint_stiffness=2.0)
    times, states = rope.simulate(5.0, every=10, targets=[(2, 0.9, 1.0)])

Parameters are the model file's keys (see models/rope.toml): ``links``, ``link_length``,
``link_mass``, ``joint_stiffness``, ``joint_damping``, ``joint_rest_angle``, ``gravity``, and per
carriage (one number for both, or a pair) ``carriage_mass``, ``drive_stiffness``, ``drive_damping``,
``end_stiffness_x``, ``end_damping_x``, ``end_stiffness_y``, ``end_damping_y``,
``end_stiffness_angle``, ``end_damping_angle``, ``carriage_start``, ``carriage_target``.
"""

from ._native import NativeRope as _NativeRope
from ._native import TargetMove as _TargetMove
from ._native import parameter_keys as _parameter_keys
from .sweep import sweep, run_point

__all__ = ["Rope", "Diverged", "FRAME_SPAN", "parameter_keys", "sweep", "run_point"]

FRAME_SPAN = 0.01  # s of simulated time per frame, as in the window program


class Diverged(RuntimeError):
    """The simulation blew up (or the engine met a failure); ``time`` is where it stopped."""

    def __init__(self, message, time):
        super().__init__(f"{message} (t = {time} s)")
        self.time = time


def parameter_keys():
    """The parameter names, in the order of the shipped model file."""
    return list(_parameter_keys())


class Rope:
    """One rope with its carriages: today's rope by default; ``model`` is a TOML model file and
    keyword parameters override its keys. Unknown names or bad values raise ValueError."""

    def __init__(self, model=None, **parameters):
        self._rope = _NativeRope("" if model is None else str(model), parameters)

    # --- reading ---
    @property
    def time(self):
        """Simulated time, s."""
        return self._rope.time

    @property
    def state(self):
        """The ODE state (a copy): q, then p, then x1, v1, x2, v2."""
        return self._rope.state

    @property
    def q(self):
        """Joint coordinates: base x, y, angle, then each link's angle relative to its parent."""
        return self._rope.q

    @property
    def p(self):
        """Momenta conjugate to q."""
        return self._rope.p

    @property
    def carriages(self):
        """x1, v1, x2, v2 of the two carriages."""
        return self._rope.carriages

    @property
    def coordinate_count(self):
        return self._rope.coordinate_count

    def placements(self):
        """An (n, 3) array of every body's world x, y and angle: what the window draws."""
        return self._rope.placements()

    def energy(self):
        """Total mechanical energy, J (chain, carriages, gravity, every spring)."""
        return self._rope.energy()

    def end_forces(self):
        """The chain-end coupling springs' x forces on carriages 1 and 2, N."""
        return tuple(self._rope.end_forces())

    # --- driving ---
    def set_target(self, carriage, x):
        """Drive carriage 1 or 2 towards x (m), as a mouse drag does."""
        self._rope.set_target(int(carriage), float(x))

    def advance(self, frames=1):
        """Advance by whole 0.01 s frames with the window program's integrator."""
        self._raise_on(self._rope.advance(int(frames)))

    def simulate(self, duration, every=1, targets=()):
        """Run for ``duration`` seconds; ``targets`` are (carriage, x, time) moves. Returns
        ``(times, states)``: the start and every ``every``th frame, equal to rope-headless's CSV
        for the same options."""
        moves = [_TargetMove(int(k), float(x), float(t)) for k, x, t in targets]
        code, times, states = self._rope.simulate(float(duration), int(every), moves)
        self._raise_on(code)
        return times, states

    def run_measuring(self, duration, targets=()):
        """Run like ``simulate`` and return the largest chain-end coupling force (N) seen after
        any frame; raises Diverged as ``simulate`` does."""
        moves = [_TargetMove(int(k), float(x), float(t)) for k, x, t in targets]
        code, peak = self._rope.run_measuring(float(duration), moves)
        self._raise_on(code)
        return peak

    def rhs(self, state):
        """d(state)/dt at ``state``, for analysis."""
        return self._rope.rhs(state)

    def _raise_on(self, code):
        if code == 1:
            raise Diverged("Simulation aborted due to instability.", self.time)
        if code == 2:
            raise Diverged(self._rope.failure(), self.time)
