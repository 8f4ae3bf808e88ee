"""vornet: American options by the Barone-Adesi-Whaley (1987) approximation.

In market terms (spot, strike, years, rates, annual volatility), over
Python numbers, NumPy arrays and pandas Series, on every core:

    price, implied_vol, greeks
        the price, the implied volatility (with a status per option) and
        the sensitivities, from a rate r and a dividend yield q;
    price_at_forward, implied_vol_at_forward, greeks_at_forward
        the same from the discount factor and the forward;
    IVStatus, ImpliedVolError, Greeks
        what they return and raise.

In the model's own terms (discount factor D, forward F, total standard
deviation sigma), the compiled core :mod:`vornet.vornet_core`:

    baw_price, baw_implied_vol, vectorized_baw_implied_vol, find_forward_baw

The core is imported when one of its functions is first used: it needs the
interpreter lock, which the free-threaded interpreter turns back on when it
is imported. Nothing else in the package needs the lock.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from vornet.market import (
    Greeks,
    ImpliedVolError,
    IVStatus,
    greeks,
    greeks_at_forward,
    implied_vol,
    implied_vol_at_forward,
    price,
    price_at_forward,
)

if TYPE_CHECKING:
    __version__: str
    from vornet.vornet_core import (
        baw_implied_vol,
        baw_price,
        find_forward_baw,
        vectorized_baw_implied_vol,
    )

__all__ = [
    "price",
    "implied_vol",
    "greeks",
    "price_at_forward",
    "implied_vol_at_forward",
    "greeks_at_forward",
    "IVStatus",
    "ImpliedVolError",
    "Greeks",
]

_CORE_FUNCTIONS = frozenset(
    {"baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"}
)


def __getattr__(name: str) -> Any:
    # The core's functions and the core itself, imported on first use; the
    # version, read from the installed distribution's metadata.
    if name == "__version__":
        from importlib.metadata import version

        value = version("vornet")
        globals()[name] = value
        return value
    if name in _CORE_FUNCTIONS:
        core = importlib.import_module("vornet.vornet_core")
        value = getattr(core, name)
        globals()[name] = value
        return value
    if name == "vornet_core":
        return importlib.import_module("vornet.vornet_core")
    raise AttributeError(f"module 'vornet' has no attribute {name!r}")
