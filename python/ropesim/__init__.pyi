# Types of the ropesim package. n is the rope's coordinate count (links + 3).
import os
from typing import Any, Iterable, Literal, Mapping, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
Number = Union[int, float, np.floating]
Pair = Union[Number, Sequence[Number], str]  # one number, a list (per carriage, body, joint...), or a word
Target = tuple[int, float, float]  # (carriage 1 or 2, x in m, time in s)

__all__: list[str]
__version__: str  # the project's version, as rope-headless --version prints it
FRAME_SPAN: float  # s per frame
LONGEST_DURATION: float  # s, the longest scripted run
PER_CARRIAGE_KEYS: frozenset[str]
METHODS: tuple[str, ...]  # the integration methods' names, rk4 first
SUMMARIES: tuple[str, ...]
STATUSES: tuple[str, ...]

class Diverged(RuntimeError):
    message: str
    time: float  # s
    def __init__(self, message: str, time: float) -> None: ...

class EngineError(RuntimeError):
    message: str
    time: float  # s
    def __init__(self, message: str, time: float) -> None: ...

def parameter_keys() -> list[str]: ...

class Rope:
    def __init__(self, model: Union[str, os.PathLike[str], None] = ..., *,
                 integrator: Optional[str] = ..., tolerance: Optional[Pair] = ...,
                 **parameters: Pair) -> None: ...
    def use_integrator(self, integrator: str = ..., tolerance: Pair = ...) -> None: ...
    @property
    def integrator(self) -> tuple[str, float, float]: ...  # name, absolute, relative tolerance
    @property
    def parameters(self) -> Mapping[str, Any]: ...
    def changed(self, **parameters: Any) -> Rope: ...
    @property
    def time(self) -> float: ...  # s
    @property
    def coordinate_count(self) -> int: ...  # n
    @property
    def state(self) -> FloatArray: ...  # read-only copy (2n+4,)
    @state.setter
    def state(self, value: npt.ArrayLike) -> None: ...  # 2n+4 finite numbers
    @property
    def q(self) -> FloatArray: ...  # read-only (n,)
    @property
    def p(self) -> FloatArray: ...  # read-only (n,)
    @property
    def carriages(self) -> FloatArray: ...  # read-only (4,): x1, v1, x2, v2
    def placements(self) -> FloatArray: ...  # (n-2, 3): x, y, angle of every body
    def energy(self) -> float: ...  # J
    def end_forces(self) -> tuple[float, float]: ...  # N
    @property
    def contact_forces(self) -> FloatArray: ...  # (n-2, 2): ground and pegs on each body, N
    @property
    def contact_force(self) -> tuple[float, float]: ...  # N, their sum
    @property
    def drag_power(self) -> float: ...  # W
    @property
    def dissipation_power(self) -> float: ...  # W
    @property
    def energy_dissipated(self) -> float: ...  # J
    def set_target(self, carriage: int, x: float) -> None: ...
    def advance(self, frames: int = ..., progress: bool = ...) -> None: ...
    # times (rows,), states (rows, 2n+4); with placements=True also (rows, n-1, 3): every body's
    # x, y, angle, then the far end's x, y and the last body's angle
    @overload
    def simulate(self, duration: float, every: int = ..., targets: Iterable[Target] = ...,
                 placements: Literal[False] = ...,
                 progress: bool = ...) -> tuple[FloatArray, FloatArray]: ...
    @overload
    def simulate(self, duration: float, every: int = ..., targets: Iterable[Target] = ..., *,
                 placements: Literal[True],
                 progress: bool = ...) -> tuple[FloatArray, FloatArray, FloatArray]: ...
    def run_measuring(self, duration: float, targets: Iterable[Target] = ...) -> float: ...
    def rhs(self, state: npt.ArrayLike) -> FloatArray: ...  # (2n+4,)
    def set_configuration(self, q: npt.ArrayLike, qdot: Optional[npt.ArrayLike] = ...) -> None: ...
    def save(self, path: Union[str, os.PathLike[str]]) -> None: ...
    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]]) -> "Rope": ...

def run_point(base: Union[Mapping[str, Pair], str, os.PathLike[str], Rope], point: Mapping[str, Pair],
              duration: float, targets: Iterable[Target] = ..., integrator: Optional[str] = ...,
              tolerance: Optional[Pair] = ...) -> dict[str, object]: ...

def sweep(base: Union[Mapping[str, Pair], str, os.PathLike[str], Rope],
          grid: Mapping[str, Sequence[Pair]], duration: float, targets: Iterable[Target] = ...,
          scheduler: Union[str, object, None] = ..., workers: int = ...,
          timeout: Union[float, None] = ..., integrator: Optional[str] = ...,
          tolerance: Optional[Pair] = ..., progress: bool = ...) -> np.ndarray: ...
