# A user's file that uses every public name of the package, checked by
# mypy --strict (tests/test_typing.py against the source tree,
# tests/test_wheel.py against the installed wheel). Each assert_type states
# what a checker must see come back.
from typing import assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

import vornet
import vornet.market
from vornet import (
    Greeks,
    ImpliedVolError,
    IVStatus,
    baw_implied_vol,
    baw_price,
    find_forward_baw,
    greeks,
    greeks_at_forward,
    implied_vol,
    implied_vol_at_forward,
    price,
    price_at_forward,
    vectorized_baw_implied_vol,
)
from vornet.market import solve_at_forward

Floats = npt.NDArray[np.float64]
Codes = npt.NDArray[np.int8]

strikes = np.array([90.0, 95.0, 100.0])
column = pd.Series([90.0, 95.0, 100.0])
kinds = np.array(["c", "p", "p"])

p = price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, "put")
assert_type(p, float)
assert_type(price(100, 95, 1, 0.03, 0.01, 0.25, "c", exercise="european", workers=-1), float)
assert_type(price(100.0, strikes, 0.5, 0.03, 0.01, 0.25, kinds), Floats)
assert_type(price(100.0, [90.0, 95.0], 0.5, 0.03, 0.01, 0.25, "c", exercise=["a", "e"]), Floats)
assert_type(price(100.0, column, 0.5, 0.03, 0.01, 0.25, "c"), "pd.Series[float]")
assert_type(price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, pd.Series(["c", "p"])), "pd.Series[float]")
assert_type(price_at_forward(100.0, 95.0, 0.5, 0.98, 101.0, 0.25, "c"), float)
assert_type(price_at_forward(100.0, strikes, 0.5, 0.98, 101.0, 0.25, "c"), Floats)

assert_type(implied_vol(p, 100.0, 95.0, 0.5, 0.03, 0.01, "p", method="fast"), float)
vol, status = implied_vol(p, 100.0, 95.0, 0.5, 0.03, 0.01, "p", full_output=True,
                          errors="raise")
assert_type(vol, float)
assert_type(status, IVStatus)
vols, codes = implied_vol_at_forward(strikes * 0.1, 100.0, strikes, 0.5, 0.98, 101.0, kinds,
                                     exercise="european", full_output=True)
assert_type(vols, Floats)
assert_type(codes, Codes)
series_vol, series_status = implied_vol(column * 0.1, 100.0, column, 0.5, 0.03, 0.01, "c",
                                        full_output=True)
assert_type(series_vol, "pd.Series[float]")
assert_type(series_status, "pd.Series[int]")
assert_type(implied_vol_at_forward(4.0, 100.0, 95.0, 0.5, 0.98, 101.0, "c"), float)

g = greeks(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, "p")
assert_type(g, Greeks[float])
assert_type(g.vega, float)
assert_type(greeks_at_forward(100.0, strikes, 0.5, 0.98, 101.0, 0.25, "p").delta, Floats)
assert_type(greeks(100.0, column, 0.5, 0.03, 0.01, 0.25, "c").rho, "pd.Series[float]")

assert_type(solve_at_forward(4.0, 100.0, 95.0, 0.5, 0.98, 101.0, "c"),
            tuple[float, IVStatus, float, float])
assert_type(solve_at_forward(strikes * 0.1, 100.0, strikes, 0.5, 0.98, 101.0, kinds,
                             exercise=np.array(["A", "E", "E"]), method="fast"),
            tuple[Floats, Codes, Floats, Floats])
assert_type(vornet.market.solve_at_forward(column, 100.0, 95.0, 0.5, 0.98, 101.0, "c"),
            "tuple[pd.Series[float], pd.Series[int], pd.Series[float], pd.Series[float]]")

reason: str = IVStatus.NO_TIME_VALUE.reason
version: str = vornet.__version__
try:
    implied_vol(1.0, 100.0, 95.0, 0.5, 0.03, 0.01, "c", errors="raise")
except ImpliedVolError as error:
    where: tuple[int, ...] | None = error.position
    why: IVStatus = error.status

core: float = baw_price(100.0, 100.0, 0.95, 105.0, 0.2, "c")
assert_type(baw_implied_vol(core, 100.0, 100.0, 0.95, 105.0, "c"), float)
assert_type(vectorized_baw_implied_vol([core], [100.0], [100.0], [0.95], [105.0], ["c"]), Floats)
assert_type(find_forward_baw([1.0], [1.0], [100.0], 100.0, 0.98), float)
assert_type(vornet.price(100.0, 95.0, 0.5, 0.03, 0.01, 0.25, "c"), float)
