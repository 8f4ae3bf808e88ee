# The engine: each function computes one option from Python numbers and a
# bool side, or maps over one-dimensional float64 arrays (any strides) and a
# bool array of one length on `workers` native threads; find_forwards
# searches the forwards of a chain's expiries, one expiry per thread.
# `workers` is any integer (int, bool or a NumPy integer); `european` is
# False (American options, the default), True, or a bool array of one flag
# per option (Black-76 on the forward where it is True); `model` is 'baw'
# (the approximation, the default) or 'integral' for the American options of
# the market-terms functions.
from typing import Literal, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

_F = npt.NDArray[np.float64]
_B = npt.NDArray[np.bool_]
_S = npt.NDArray[np.int8]
_I = npt.NDArray[np.int64]
_Method = Literal["exact", "fast"]
_Model = Literal["baw", "integral"]
_E = bool | _B | None

max_workers: int

def resolve_workers(workers: SupportsIndex, /) -> int: ...
def find_forwards(calls: _F, puts: _F, strikes: _F, bounds: _I, spots: _F, discounts: _F, /,
                  workers: SupportsIndex = 1, *,
                  search: _B | None = None, model: _Model = ...,
                  times: _F | None = None) -> tuple[_F, _F, _S]: ...

@overload
def price(S: float, K: float, D: float, F: float, sigma: float, is_call: bool, /,
          workers: SupportsIndex = 1, *, european: bool | None = ...) -> float: ...
@overload
def price(S: _F, K: _F, D: _F, F: _F, sigma: _F, is_call: _B, /, workers: SupportsIndex = 1, *, european: _E = ...) -> _F: ...
@overload
def price_rates(S: float, K: float, T: float, r: float, q: float, vol: float, is_call: bool, /,
                workers: SupportsIndex = 1, *, european: bool | None = ...,
    model: _Model = ...) -> float: ...
@overload
def price_rates(S: _F, K: _F, T: _F, r: _F, q: _F, vol: _F, is_call: _B, /,
                workers: SupportsIndex = 1, *, european: _E = ...,
    model: _Model = ...) -> _F: ...
@overload
def price_forward(S: float, K: float, T: float, D: float, F: float, vol: float, is_call: bool,
                  /, workers: SupportsIndex = 1, *, european: bool | None = ...,
    model: _Model = ...) -> float: ...
@overload
def price_forward(S: _F, K: _F, T: _F, D: _F, F: _F, vol: _F, is_call: _B, /,
                  workers: SupportsIndex = 1, *, european: _E = ...,
    model: _Model = ...) -> _F: ...
@overload
def implied_sigma(price: float, S: float, K: float, D: float, F: float, is_call: bool, /,
                  workers: SupportsIndex = 1, *,
                  method: _Method = ..., european: bool | None = ...) -> tuple[float, int]: ...
@overload
def implied_sigma(price: _F, S: _F, K: _F, D: _F, F: _F, is_call: _B, /,
                  workers: SupportsIndex = 1, *,
                  method: _Method = ..., european: _E = ...) -> tuple[_F, _S]: ...
@overload
def implied_vol_rates(price: float, S: float, K: float, T: float, r: float, q: float,
                      is_call: bool, /, workers: SupportsIndex = 1, *,
                      method: _Method = ..., european: bool | None = ...,
    model: _Model = ...) -> tuple[float, int]: ...
@overload
def implied_vol_rates(price: _F, S: _F, K: _F, T: _F, r: _F, q: _F, is_call: _B, /,
                      workers: SupportsIndex = 1, *,
                      method: _Method = ..., european: _E = ...,
    model: _Model = ...) -> tuple[_F, _S]: ...
@overload
def implied_vol_forward(price: float, S: float, K: float, T: float, D: float, F: float,
                        is_call: bool, /, workers: SupportsIndex = 1, *,
                        method: _Method = ..., european: bool | None = ...,
    model: _Model = ...) -> tuple[float, int]: ...
@overload
def implied_vol_forward(price: _F, S: _F, K: _F, T: _F, D: _F, F: _F, is_call: _B, /,
                        workers: SupportsIndex = 1, *,
                        method: _Method = ..., european: _E = ...,
    model: _Model = ...) -> tuple[_F, _S]: ...
@overload
def greeks_rates(S: float, K: float, T: float, r: float, q: float, vol: float, is_call: bool,
                 /, workers: SupportsIndex = 1, *,
                 european: bool | None = ...,
    model: _Model = ...) -> tuple[float, float, float, float, float]: ...
@overload
def greeks_rates(S: _F, K: _F, T: _F, r: _F, q: _F, vol: _F, is_call: _B, /,
                 workers: SupportsIndex = 1, *,
                 european: _E = ...,
    model: _Model = ...) -> tuple[_F, _F, _F, _F, _F]: ...
@overload
def greeks_forward(S: float, K: float, T: float, D: float, F: float, vol: float,
                   is_call: bool, /, workers: SupportsIndex = 1, *,
                 european: bool | None = ...,
    model: _Model = ...) -> tuple[float, float, float, float, float]: ...
@overload
def greeks_forward(S: _F, K: _F, T: _F, D: _F, F: _F, vol: _F, is_call: _B, /,
                   workers: SupportsIndex = 1, *,
                 european: _E = ...,
    model: _Model = ...) -> tuple[_F, _F, _F, _F, _F]: ...
@overload
def solve_forward(price: float, S: float, K: float, T: float, D: float, F: float, is_call: bool,
                  /, workers: SupportsIndex = 1, *, method: _Method = ...,
                  european: bool | None = ...,
    model: _Model = ...) -> tuple[float, float, float, int]: ...
@overload
def solve_forward(price: _F, S: _F, K: _F, T: _F, D: _F, F: _F, is_call: _B, /,
                  workers: SupportsIndex = 1, *, method: _Method = ...,
                  european: _E = ...,
    model: _Model = ...) -> tuple[_F, _F, _F, _S]: ...

def integral_prices(S: _F, K: _F, T: _F, r: _F, q: _F, vol: _F, is_call: _B,
                    settings: tuple[int, int, int, int], /) -> _F: ...
