# The engine: each function computes one option from Python numbers and a
# bool side, or maps over one-dimensional float64 arrays (any strides) and a
# bool array of one length on `workers` native threads.
from typing import Literal, overload

import numpy as np
import numpy.typing as npt

_F = npt.NDArray[np.float64]
_B = npt.NDArray[np.bool_]
_S = npt.NDArray[np.int8]
_Method = Literal["exact", "fast"]

max_workers: int

@overload
def price(S: float, K: float, D: float, F: float, sigma: float, is_call: bool, /,
          workers: int = 1) -> float: ...
@overload
def price(S: _F, K: _F, D: _F, F: _F, sigma: _F, is_call: _B, /, workers: int = 1) -> _F: ...
@overload
def price_rates(S: float, K: float, T: float, r: float, q: float, vol: float, is_call: bool, /,
                workers: int = 1) -> float: ...
@overload
def price_rates(S: _F, K: _F, T: _F, r: _F, q: _F, vol: _F, is_call: _B, /,
                workers: int = 1) -> _F: ...
@overload
def price_forward(S: float, K: float, T: float, D: float, F: float, vol: float, is_call: bool,
                  /, workers: int = 1) -> float: ...
@overload
def price_forward(S: _F, K: _F, T: _F, D: _F, F: _F, vol: _F, is_call: _B, /,
                  workers: int = 1) -> _F: ...
@overload
def implied_sigma(price: float, S: float, K: float, D: float, F: float, is_call: bool, /,
                  workers: int = 1, *,
                  method: _Method = ...) -> tuple[float, int]: ...
@overload
def implied_sigma(price: _F, S: _F, K: _F, D: _F, F: _F, is_call: _B, /,
                  workers: int = 1, *,
                  method: _Method = ...) -> tuple[_F, _S]: ...
@overload
def implied_vol_rates(price: float, S: float, K: float, T: float, r: float, q: float,
                      is_call: bool, /, workers: int = 1, *,
                      method: _Method = ...) -> tuple[float, int]: ...
@overload
def implied_vol_rates(price: _F, S: _F, K: _F, T: _F, r: _F, q: _F, is_call: _B, /,
                      workers: int = 1, *,
                      method: _Method = ...) -> tuple[_F, _S]: ...
@overload
def implied_vol_forward(price: float, S: float, K: float, T: float, D: float, F: float,
                        is_call: bool, /, workers: int = 1, *,
                        method: _Method = ...) -> tuple[float, int]: ...
@overload
def implied_vol_forward(price: _F, S: _F, K: _F, T: _F, D: _F, F: _F, is_call: _B, /,
                        workers: int = 1, *,
                        method: _Method = ...) -> tuple[_F, _S]: ...
@overload
def greeks_rates(S: float, K: float, T: float, r: float, q: float, vol: float, is_call: bool,
                 /, workers: int = 1) -> tuple[float, float, float, float, float]: ...
@overload
def greeks_rates(S: _F, K: _F, T: _F, r: _F, q: _F, vol: _F, is_call: _B, /,
                 workers: int = 1) -> tuple[_F, _F, _F, _F, _F]: ...
@overload
def greeks_forward(S: float, K: float, T: float, D: float, F: float, vol: float,
                   is_call: bool, /, workers: int = 1) -> tuple[float, float, float, float, float]: ...
@overload
def greeks_forward(S: _F, K: _F, T: _F, D: _F, F: _F, vol: _F, is_call: _B, /,
                   workers: int = 1) -> tuple[_F, _F, _F, _F, _F]: ...
