# The compiled core, in the model's terms: discount factor D, forward F and
# total standard deviation sigma. Any flag equal to "c" is a call, every other
# value a put.
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

def baw_price(S: float, K: float, D: float, F: float, sigma: float, flag: object) -> float: ...
def baw_implied_vol(price: float, S: float, K: float, D: float, F: float, flag: object) -> float: ...
def vectorized_baw_implied_vol(
    prices: npt.ArrayLike,
    S_arr: npt.ArrayLike,
    K_arr: npt.ArrayLike,
    D_arr: npt.ArrayLike,
    F_arr: npt.ArrayLike,
    flags: Sequence[object] | npt.NDArray[np.generic],
) -> npt.NDArray[np.float64]: ...
def find_forward_baw(
    call_prices: npt.ArrayLike,
    put_prices: npt.ArrayLike,
    strikes: npt.ArrayLike,
    S: float,
    D: float,
    strike_pct: float = 0.01,
) -> float: ...
