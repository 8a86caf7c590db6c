"""The rope simulator's engine from Python: ropes as NumPy arrays, scripted runs, parameter sweeps.

    import ropesim
    rope = ropesim.Rope(links=30, joint_stiffness=2.0)
    times, states = rope.simulate(5.0, every=10, targets=[(2, 0.9, 1.0)])

A rope is a free planar base and ``links`` revolute links, n = links + 3 joint coordinates, held
at both ends by two carriages that slide along x. Its parameters are the model file's keys (see
models/rope.toml and ``help(ropesim.Rope)``); per-carriage keys take one number for both carriages
or a pair (carriage 1, carriage 2). Ctrl-C stops a long run with KeyboardInterrupt, the rope left
at its last completed frame.
"""

import contextlib
import math
import numbers
import os
import sys
import types

import numpy as np

from ._native import LONGEST_DURATION, __version__
from ._native import NativeRope as _NativeRope
from ._native import TargetMove as _TargetMove
from ._native import methods as _method_table
from ._native import parameter_keys as _parameter_key_table

__all__ = ["Rope", "Diverged", "EngineError", "FRAME_SPAN", "LONGEST_DURATION", "PER_CARRIAGE_KEYS",
           "METHODS", "parameter_keys", "sweep", "run_point", "SUMMARIES", "STATUSES"]

FRAME_SPAN = 0.01  # s of simulated time per frame, as in the window program
_KEYS = _parameter_key_table()  # (name, unit, meaning, per_carriage, shape, words)
_KEY_NAMES = frozenset(key[0] for key in _KEYS)
PER_CARRIAGE_KEYS = frozenset(key[0] for key in _KEYS if key[3])
_METHODS = _method_table()  # (name, description)
METHODS = tuple(name for name, _ in _METHODS)  # the integration methods, by name


class _RunStopped(RuntimeError):
    """A run that stopped before its end; ``message`` says why, ``time`` (s) is where."""

    def __init__(self, message, time):
        # Both in args, so that the exception pickles (multiprocessing, Dask) with its fields.
        super().__init__(message, time)
        self.message = message
        self.time = time

    def __str__(self):
        return f"{self.message} (t = {self.time} s)"


class Diverged(_RunStopped):
    """The simulation blew up: an accepted state failed the divergence guard. ``time`` (s) is
    where it stopped; the rope holds that state."""


class EngineError(_RunStopped):
    """The engine met a failure other than divergence (the core's status or the integrator's
    error). ``time`` (s) is where it stopped."""


def parameter_keys():
    """The parameter names, in the order of the shipped model file."""
    return [key[0] for key in _KEYS]


# --- Argument checks: integers where counts are meant, finite floats where values are meant ---

def _is_bool(value):
    return isinstance(value, (bool, np.bool_))


def _count(name, value, least=0):
    if _is_bool(value) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    value = int(value)
    if value < least:
        raise ValueError(f"{name} must be {least} or more, got {value}")
    if value >= 2**63:
        raise ValueError(f"{name} is too large: {value}")
    return value


def _is_real(value):
    return not _is_bool(value) and isinstance(value, numbers.Real)


def _float(name, value):
    """A real number (a NumPy float of any width too) as a float; one past the largest double has
    none, and is refused."""
    try:
        number = float(value)
    except OverflowError:  # an int
        number = None
    if number is None or math.isinf(number) and isinstance(value, np.floating) \
            and np.isfinite(value):  # a long double
        raise ValueError(f"{name} is out of range: beyond ±1.8e308")
    return number


def _real(name, value):
    if not _is_real(value):
        raise TypeError(f"{name} must be a number, got {value!r}")
    value = _float(name, value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    return value


def _flag(name, value):
    if not _is_bool(value):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


class _Bar:
    """A tqdm bar on standard error that can never end a run: none without a standard error to
    draw on (sys.stderr is None under pythonw or a daemon), and one whose drawing fails is
    dropped with its error."""

    def __init__(self, description, unit, total=None):
        self._description, self._unit, self._bar = description, unit, None
        self._drawing = sys.stderr is not None
        if total is not None:
            self.move_to(0, total)

    def move_to(self, done, total):
        if not self._drawing:
            return
        try:
            if self._bar is None:
                from tqdm import tqdm

                self._bar = tqdm(total=total, desc=self._description, unit=self._unit,
                                 file=sys.stderr)
            self._bar.update(done - self._bar.n)
        except Exception:  # noqa: BLE001 - a bar's failure is no reason to stop the run
            self._drawing = False

    def close(self):
        try:
            if self._bar is not None:
                self._bar.close()
        except Exception:  # noqa: BLE001 - as in move_to
            pass


class _FrameBar(_Bar):
    """A progress bar moved by the engine's reports of (frames done, frames) while it runs."""

    def __init__(self, description):
        super().__init__(description, "frame")

    def __call__(self, done, frames):
        self.move_to(done, frames)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()


def _frame_bar(progress, description):
    return _FrameBar(description) if _flag("progress", progress) else contextlib.nullcontext()


def _carriage(name, value):
    carriage = _count(name, value)
    if carriage not in (1, 2):
        raise ValueError(f"{name} must be 1 or 2, got {carriage}")
    return carriage


def _duration(value):
    duration = _real("duration", value)
    if not 0.0 <= duration <= LONGEST_DURATION:
        raise ValueError(f"duration must be from 0 to {LONGEST_DURATION:g} s, got {duration}")
    return duration


def _moves(targets):
    """(carriage, x, time) triples as the engine's target moves, every field checked."""
    moves = []
    for i, target in enumerate(targets):
        if isinstance(target, (str, bytes)) or len(target) != 3:
            raise ValueError(f"targets[{i}] must be (carriage, x, time), got {target!r}")
        carriage, x, time = target
        moves.append(_TargetMove(_carriage(f"targets[{i}] carriage", carriage),
                                 _real(f"targets[{i}] x", x), _real(f"targets[{i}] time", time)))
    return moves


def _plain(name, value):
    """NumPy scalars and arrays as Python numbers and lists; the engine checks the rest."""
    if isinstance(value, np.ndarray):
        return _plain(name, value.tolist())
    if isinstance(value, np.floating):  # a long double's item() is no Python float
        return _float(f"key '{name}'", value)
    if isinstance(value, np.generic) and not isinstance(value, np.bool_):
        return value.item()
    if isinstance(value, (tuple, list)):
        return [_plain(name, item) for item in value]
    return value


def _plain_values(parameters):
    return {name: _plain(name, value) for name, value in parameters.items()}


def _real_vector(name, value):
    """A 1-D float64 array of real numbers (no bools, strings or objects); lengths and finiteness
    are the engine's checks."""
    array = np.asarray(value)
    if array.dtype.kind not in "fiu":
        raise ValueError(f"{name} must be an array of real numbers, got dtype {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.float64)


def _unpickle_rope(text):
    return Rope._restored(text, "a pickled rope")


def _model_path(model):
    if model is None:
        return ""
    if not isinstance(model, (str, os.PathLike)):
        raise TypeError(f"model must be a path, got {model!r}")
    return os.fspath(model)


def _file_path(path):
    """The path's bytes, as the file system names it (any str the OS gave round-trips)."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a path, got {path!r}")
    return os.fsencode(path)


def _tolerances(tolerance):
    pair = tolerance if isinstance(tolerance, (tuple, list)) else (tolerance, tolerance)
    if len(pair) != 2 or not all(_is_real(t) for t in pair):
        raise TypeError(f"tolerance must be a number or a pair (absolute, relative), "
                        f"got {tolerance!r}")
    return _float("tolerance", pair[0]), _float("tolerance", pair[1])


class Rope:
    """One rope with its carriages: the window program's rope by default; ``model`` is a TOML
    model file and keyword parameters override its keys. ``integrator`` and ``tolerance`` (as
    ``use_integrator`` takes them) override the model file's own keys of those names; left out,
    they are the file's, else rk4 at 1e-6. Unknown names or bad values raise ValueError naming
    the key. A rope may be shared by threads: its calls take turns.
    """

    # Only the engine: an assignment to any other name (a parameter, say) would change nothing.
    __slots__ = ("_rope",)

    def __setattr__(self, name, value):
        if name in Rope.__slots__ or isinstance(getattr(type(self), name, None), property):
            object.__setattr__(self, name, value)
            return
        hint = ""
        if name in _KEY_NAMES:
            hint = (f"; {name!r} is a parameter, set when the rope is made: "
                    f"Rope({name}=...), or a sweep's grid key")
        raise AttributeError(f"a Rope has no attribute {name!r} to set{hint}")

    def __init__(self, model=None, *, integrator=None, tolerance=None, **parameters):
        values = _plain_values(parameters)
        try:
            self._rope = _NativeRope(_model_path(model), values)
        except RuntimeError as failure:  # the core refused the assembled rope
            raise EngineError(str(failure), 0.0) from None
        # Left out: the model file's choice (its keys integrator and tolerance), else rk4 at 1e-6.
        if integrator is not None or tolerance is not None:
            name, absolute, relative = self.integrator
            self.use_integrator(name if integrator is None else integrator,
                                (absolute, relative) if tolerance is None else tolerance)

    def use_integrator(self, integrator="rk4", tolerance=1e-6):
        # The docstring lists the methods: see _method_lines.
        if not isinstance(integrator, str):
            raise TypeError(f"integrator must be a name, got {integrator!r}")
        if integrator not in METHODS:
            raise ValueError(f"integrator must be one of {', '.join(METHODS)}, got {integrator!r}")
        absolute, relative = _tolerances(tolerance)
        self._rope.use_method(integrator, absolute, relative)

    @property
    def integrator(self):
        """(name, absolute tolerance, relative tolerance) of the integration method."""
        return tuple(self._rope.method)

    @classmethod
    def _restored(cls, text, source="checkpoint", **parameters):
        """A rope continued from a checkpoint's text, with ``parameters`` changed."""
        return cls._adopted(_NativeRope.restore, text, source, _plain_values(parameters))

    @classmethod
    def _adopted(cls, make, *arguments):
        """A Rope around the engine ``make(*arguments)`` builds."""
        rope = cls.__new__(cls)
        try:
            rope._rope = make(*arguments)
        except RuntimeError as failure:  # the core refused the assembled rope
            raise EngineError(str(failure), 0.0) from None
        return rope

    def _continued(self, parameters):
        return Rope._restored(self._rope.checkpoint(), "the base rope", **parameters)

    @property
    def parameters(self):
        """The parameters in effect, a read-only mapping by the model file's keys: per-body values
        as arrays (one number when every body shares it), carriage pairs as tuples, and each
        physics key given in place of the per-body values it derives: ``Rope(**rope.parameters)``
        builds the same rope."""
        return types.MappingProxyType(self._rope.parameters())

    def changed(self, **parameters):
        """A new rope that goes on from this one's state, time, targets and method with some
        parameters changed (the state must still fit: not ``links``). This rope is left as it is."""
        return self._continued(parameters)

    # --- checkpoints ---
    def save(self, path):
        """Write a checkpoint (TOML: parameters, time, state, step size, frame count, targets) to
        ``path`` as ``rope-headless --save-state`` does: under a temporary name beside it, renamed
        when complete, keeping the mode of a file it replaces; a link's target is written, a FIFO
        or a device in place. Raises OSError with the reason."""
        self._rope.save_checkpoint(_file_path(path))

    @classmethod
    def load(cls, path):
        """The rope of a checkpoint written by ``save`` or ``rope-headless --save-state``: it goes
        on exactly as the saved run would have. A file that cannot be read (missing, not a
        regular file, too large) raises OSError; a damaged or foreign one ValueError."""
        return cls._adopted(_NativeRope.load, _file_path(path), {})

    def __reduce_ex__(self, protocol):
        # The checkpoint's content, so that a rope travels to a worker process and goes on there
        # exactly as it would have here.
        return (_unpickle_rope, (self._rope.checkpoint(),))

    def __repr__(self):
        links, n = self._rope.parameters()["links"], self._rope.coordinate_count
        return f"<ropesim.Rope: {links} links, {n} coordinates, t = {self._rope.time:g} s>"

    # One engine per Rope: a copy sharing it would advance the original too.
    def __copy__(self):
        raise TypeError("a Rope cannot be copied; make a new Rope with the same parameters")

    def __deepcopy__(self, memo):
        raise TypeError("a Rope cannot be copied; make a new Rope with the same parameters")

    # --- reading ---
    @property
    def time(self):
        """Simulated time, s (float)."""
        return self._rope.time

    @property
    def coordinate_count(self):
        """n, the number of joint coordinates: 3 for the base plus one per link (int)."""
        return self._rope.coordinate_count

    @property
    def state(self):
        """The ODE state, shape (2n+4,): q (n), p (n), then x1 (m), v1 (m/s), x2, v2. The array
        is a read-only copy; assign a whole new state (float64, finite, 2n+4 values) to change it."""
        return self._rope.state

    @state.setter
    def state(self, value):
        self._rope.set_state(_real_vector("state", value))

    def set_configuration(self, q, qdot=None):
        """Set the joint coordinates ``q`` and their rates ``qdot`` (n finite numbers each; None:
        at rest) and compute the momenta from them as the rope's start does. The carriages keep
        their state."""
        self._rope.set_configuration(_real_vector("q", q),
                                     None if qdot is None else _real_vector("qdot", qdot))

    @property
    def q(self):
        """Joint coordinates, read-only, shape (n,): base x, y (m) and angle (rad), then each
        link's angle relative to its parent (rad)."""
        return self._rope.q

    @property
    def p(self):
        """Momenta conjugate to q, read-only, shape (n,): kg m/s for the base's x and y,
        kg m^2/s for the angles."""
        return self._rope.p

    @property
    def carriages(self):
        """Carriage 1's position (m) and velocity (m/s), then carriage 2's; read-only, shape (4,)."""
        return self._rope.carriages

    def placements(self):
        """Every body's world x, y (m) and angle (rad) at the current state, shape (n-2, 3):
        what the window draws. A new array."""
        return self._rope.placements()

    def energy(self):
        """Total mechanical energy, J (chain, carriages, gravity, every spring). A rope with
        every damper off, no world and far_end_coupling="point" ends each frame on the energy
        the frame started with, whatever the method."""
        return self._rope.energy()

    def end_forces(self):
        """The chain-end coupling springs' x forces on carriages 1 and 2, N (a pair)."""
        return tuple(self._rope.end_forces())

    # --- the world's readings (zero without a ground, pegs or fluid) ---
    @property
    def contact_forces(self):
        """The ground's and pegs' force on every body, normal force and friction together, world
        x and y (N), shape (n-2, 2), base first. A new array."""
        return self._rope.world_readings()[0]

    @property
    def contact_force(self):
        """The ground's and pegs' force on the whole rope, world x and y, N (a pair)."""
        return tuple(self._rope.world_readings()[1])

    @property
    def drag_power(self):
        """The rate of work of the fluid's drag on the rope, W: negative in still fluid, and a
        current can make it positive. Buoyancy is left out: it has a potential."""
        return self._rope.world_readings()[2]

    @property
    def dissipation_power(self):
        """The rate at which contact dampers, friction and drag take energy out now, W."""
        return self._rope.world_readings()[3]

    @property
    def energy_dissipated(self):
        """Energy taken out so far by contact dampers, friction and drag, J: the dissipation
        power integrated along the accepted steps by the trapezoid rule. Joint dampers and the
        carriages' couplings are not counted. Kept by checkpoints and pickles."""
        return self._rope.world_readings()[4]

    # --- driving ---
    def set_target(self, carriage, x):
        """Drive carriage 1 or 2 towards x (m, finite), as a mouse drag does."""
        self._rope.set_target(_carriage("carriage", carriage), _real("x", x))

    def advance(self, frames=1, progress=False):
        """Advance the rope by ``frames`` whole 0.01 s frames (an integer, 0 or more) with the
        rope's integrator; ``progress=True`` shows a bar on the terminal. Raises Diverged or
        EngineError where it stopped."""
        frames = _count("frames", frames)
        with _frame_bar(progress, "advance") as bar:
            code = self._rope.advance(frames, bar)
        self._raise_on(code)

    def simulate(self, duration, every=1, targets=(), placements=False, progress=False):
        """Advance the rope by ``duration`` seconds (finite, up to LONGEST_DURATION) in whole
        frames and return ``(times, states)`` at the start and after every ``every``th frame:
        times of shape (frames,) in s, states of shape (frames, 2n+4) laid out as ``state``,
        where frames counts the rows kept. ``targets`` are
        (carriage, x, time) moves applied at the first frame starting at or after ``time``; moves
        due before the rope's current frame are taken as applied already (by an earlier call, or
        in a loaded rope's targets) and skipped, so a script can be continued with the same list.
        Equal to rope-headless's CSV for the same options.

        ``placements=True`` returns ``(times, states, placements)``: placements of shape
        (frames, bodies + 1, 3), every body's world x, y (m) and angle (rad) in each row (base
        first, as ``placements()``), then the far end's x, y and the last body's angle. Without
        that last angle a row is the row of ``rope-headless --placements``, bit for bit.
        ``progress=True`` shows a bar on the terminal; the run is the same.

        A run whose arrays would not fit in the machine's memory raises MemoryError, naming their
        size, before it starts. Raises Diverged or EngineError where it stopped."""
        moves = _moves(targets)
        duration, every = _duration(duration), _count("every", every, 1)
        placements = _flag("placements", placements)
        with _frame_bar(progress, "simulate") as bar:
            code, times, states, shapes = self._rope.simulate(duration, every, moves, placements,
                                                              bar)
        self._raise_on(code)
        return (times, states, shapes) if placements else (times, states)

    def run_measuring(self, duration, targets=()):
        """Advance like ``simulate`` and return the largest chain-end coupling force (N) seen
        after any frame. Raises Diverged or EngineError as ``simulate`` does."""
        moves = _moves(targets)
        code, peak = self._rope.run_measuring(_duration(duration), moves)
        self._raise_on(code)
        return peak

    def rhs(self, state):
        """d(state)/dt at ``state`` (shape (2n+4,), finite real numbers), for analysis. The rope
        and everything it reports stay as they were."""
        try:
            return self._rope.rhs(np.asarray(state))
        except RuntimeError as failure:  # the core's failure at that state
            raise EngineError(str(failure), self.time) from None

    def _raise_on(self, code):
        if code == 1:
            raise Diverged("Simulation aborted due to instability.", self.time)
        if code != 0:
            raise EngineError(self._rope.failure(), self.time)


_TAKES = {
    "count": "an integer",
    "per_carriage": "one number or a pair (carriage 1, carriage 2)",
    "triple": "three numbers",
    "per_body": "one number or one per body, base first (a list or array of links + 1)",
    "per_joint": "one number or one per revolute joint (a list or array of links)",
    "per_coordinate": "one number or one per coordinate (a list or array of links + 3)",
    "vector": "two numbers (x, y)",
    "triples": "a list of [x, y, radius] triples",
}


def _key_lines():
    lines = ["", "Parameters (keyword: unit, meaning):", ""]
    for name, unit, meaning, _, shape, words in _KEYS:
        takes = words or _TAKES.get(shape, "a number")
        lines.append(f"    {name}: {unit or ('1' if shape == 'number' else 'count')}, {meaning}; {takes}")
    return "\n".join(lines)


def _method_lines():
    lines = ["Integrates from now on with ``integrator``, one of METHODS:", ""]
    lines += [f"    {name}: {description}" for name, description in _METHODS]
    lines += ["", "``tolerance`` is one number (absolute and relative) or a pair (absolute, relative),",
              "each in (0, 1]."]
    return "\n".join(lines)


Rope.__doc__ += _key_lines()
Rope.use_integrator.__doc__ = _method_lines()

from .sweep import STATUSES, SUMMARIES, run_point, sweep  # noqa: E402  (needs Rope, checks)
