# Type information of vornet.market, written by tools/market-stub (edit the
# table there, then run it): for each market-terms function an overload for
# Python numbers, one for a Series in each argument that may be one, and one
# for arrays.
import enum
from collections.abc import Callable
from typing import Any, Generic, Literal, NamedTuple, SupportsIndex, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = [
    "price",
    "price_at_forward",
    "implied_vol",
    "implied_vol_at_forward",
    "greeks",
    "greeks_at_forward",
    "solve_at_forward",
    "Greeks",
    "IVStatus",
    "ImpliedVolError",
    "METHODS",
    "MODELS",
    "check_method",
    "check_model",
    "resolve_workers",
]

_T = TypeVar("_T")
_F = TypeVar("_F", bound=Callable[..., Any])
_Floats: TypeAlias = npt.NDArray[np.float64]
_Codes: TypeAlias = npt.NDArray[np.int8]

ArrayLike: TypeAlias = npt.ArrayLike
KindLike: TypeAlias = str | npt.ArrayLike
Method: TypeAlias = Literal["exact", "fast"]
Model: TypeAlias = Literal["baw", "integral"]
Errors: TypeAlias = Literal["ignore", "raise"]
Exercise: TypeAlias = Literal["american", "european"]
ExerciseLike: TypeAlias = Exercise | npt.ArrayLike

METHODS: tuple[str, ...]
MODELS: tuple[str, ...]

class IVStatus(enum.IntEnum):
    SOLVED = 0
    NO_TIME_VALUE = 1
    ABOVE_MAXIMUM = 2
    INVALID_INPUT = 3
    NO_CONVERGENCE = 4
    NO_VOLATILITY_INFO = 5
    UNSUPPORTED = 6
    @property
    def reason(self) -> str: ...

class ImpliedVolError(ValueError):
    position: tuple[int, ...] | None
    status: IVStatus
    def __init__(self, message: str, position: tuple[int, ...] | None,
                 status: IVStatus) -> None: ...

class Greeks(NamedTuple, Generic[_T]):
    delta: _T
    gamma: _T
    vega: _T
    theta: _T
    rho: _T

def check_method(method: object) -> None: ...
def check_model(model: object) -> None: ...
def resolve_workers(workers: int) -> int: ...

# price
@overload
def price(
    S: float, K: float, T: float, r: float, q: float, vol: float, kind: str, *,
    exercise: Exercise = ..., workers: SupportsIndex = ..., model: Model = ...
) -> float: ...
@overload
def price(
    S: pd.Series[Any], K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: pd.Series[Any], T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: pd.Series[Any], r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: pd.Series[Any], q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: pd.Series[Any], vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: pd.Series[Any],
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: pd.Series[Any], *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: pd.Series[Any], workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> _Floats: ...

# price_at_forward
@overload
def price_at_forward(
    S: float, K: float, T: float, discount: float, forward: float, vol: float, kind: str, *,
    exercise: Exercise = ..., workers: SupportsIndex = ..., model: Model = ...
) -> float: ...
@overload
def price_at_forward(
    S: pd.Series[Any], K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: pd.Series[Any], T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: pd.Series[Any], discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: pd.Series[Any], forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: pd.Series[Any],
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: pd.Series[Any], kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: pd.Series[Any], *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: pd.Series[Any], workers: SupportsIndex = ...,
    model: Model = ...
) -> pd.Series[float]: ...
@overload
def price_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> _Floats: ...

# implied_vol
@overload
def implied_vol(
    price: float, S: float, K: float, T: float, r: float, q: float, kind: str, *,
    exercise: Exercise = ..., full_output: Literal[False] = ..., errors: Errors = ...,
    workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> float: ...
@overload
def implied_vol(
    price: pd.Series[Any], S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: pd.Series[Any], K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: pd.Series[Any], T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: pd.Series[Any], r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: pd.Series[Any], q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: pd.Series[Any],
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: pd.Series[Any], *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: pd.Series[Any], full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[False] = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> _Floats: ...
@overload
def implied_vol(
    price: float, S: float, K: float, T: float, r: float, q: float, kind: str, *,
    exercise: Exercise = ..., full_output: Literal[True], errors: Errors = ...,
    workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[float, IVStatus]: ...
@overload
def implied_vol(
    price: pd.Series[Any], S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: pd.Series[Any], K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: pd.Series[Any], T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: pd.Series[Any], r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: pd.Series[Any], q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: pd.Series[Any],
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: pd.Series[Any], *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: pd.Series[Any], full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[_Floats, _Codes]: ...
@overload
def implied_vol(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., full_output: bool = ...,
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> Any: ...

# implied_vol_at_forward
@overload
def implied_vol_at_forward(
    price: float, S: float, K: float, T: float, discount: float, forward: float, kind: str, *,
    exercise: Exercise = ..., full_output: Literal[False] = ..., errors: Errors = ...,
    workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> float: ...
@overload
def implied_vol_at_forward(
    price: pd.Series[Any], S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: pd.Series[Any], K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: pd.Series[Any], T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: pd.Series[Any], discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: pd.Series[Any],
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: pd.Series[Any], kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: pd.Series[Any], *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: pd.Series[Any],
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> pd.Series[float]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[False] = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> _Floats: ...
@overload
def implied_vol_at_forward(
    price: float, S: float, K: float, T: float, discount: float, forward: float, kind: str, *,
    exercise: Exercise = ..., full_output: Literal[True], errors: Errors = ...,
    workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[float, IVStatus]: ...
@overload
def implied_vol_at_forward(
    price: pd.Series[Any], S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: pd.Series[Any], K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: pd.Series[Any], T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: pd.Series[Any], discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: pd.Series[Any],
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: pd.Series[Any], kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: pd.Series[Any], *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: pd.Series[Any], full_output: Literal[True],
    errors: Errors = ..., workers: SupportsIndex = ..., method: Method = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int]]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: Literal[True], errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> tuple[_Floats, _Codes]: ...
@overload
def implied_vol_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    full_output: bool = ..., errors: Errors = ..., workers: SupportsIndex = ...,
    method: Method = ..., model: Model = ...
) -> Any: ...

# solve_at_forward
@overload
def solve_at_forward(
    price: float, S: float, K: float, T: float, discount: float, forward: float, kind: str, *,
    exercise: Exercise = ..., method: Method = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> tuple[float, IVStatus, float, float]: ...
@overload
def solve_at_forward(
    price: pd.Series[Any], S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ..., method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: pd.Series[Any], K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ..., method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: pd.Series[Any], T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ..., method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: pd.Series[Any], discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ..., method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: pd.Series[Any],
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ..., method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: pd.Series[Any], kind: KindLike, *, exercise: ExerciseLike = ...,
    method: Method = ..., workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: pd.Series[Any], *, exercise: ExerciseLike = ...,
    method: Method = ..., workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: pd.Series[Any], method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]: ...
@overload
def solve_at_forward(
    price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
    forward: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ..., method: Method = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> tuple[_Floats, _Codes, _Floats, _Floats]: ...

# greeks
@overload
def greeks(
    S: float, K: float, T: float, r: float, q: float, vol: float, kind: str, *,
    exercise: Exercise = ..., workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[float]: ...
@overload
def greeks(
    S: pd.Series[Any], K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: pd.Series[Any], T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: pd.Series[Any], r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: pd.Series[Any], q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: pd.Series[Any], vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: pd.Series[Any],
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: pd.Series[Any], *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: pd.Series[Any], workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
    kind: KindLike, *, exercise: ExerciseLike = ..., workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[_Floats]: ...

# greeks_at_forward
@overload
def greeks_at_forward(
    S: float, K: float, T: float, discount: float, forward: float, vol: float, kind: str, *,
    exercise: Exercise = ..., workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[float]: ...
@overload
def greeks_at_forward(
    S: pd.Series[Any], K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: pd.Series[Any], T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: pd.Series[Any], discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: pd.Series[Any], forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: pd.Series[Any],
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: pd.Series[Any], kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: pd.Series[Any], *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: pd.Series[Any], workers: SupportsIndex = ...,
    model: Model = ...
) -> Greeks[pd.Series[float]]: ...
@overload
def greeks_at_forward(
    S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike, forward: ArrayLike,
    vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = ...,
    workers: SupportsIndex = ..., model: Model = ...
) -> Greeks[_Floats]: ...
