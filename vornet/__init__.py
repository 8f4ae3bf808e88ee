"""vornet: American options by the Barone-Adesi-Whaley (1987) approximation
(and European ones by Black-76).

In market terms (spot, strike, years, rates, annual volatility), over
Python numbers, NumPy arrays and pandas Series, on every core:

    price, implied_vol, greeks
        the price, the implied volatility (with a status per option) and
        the sensitivities, from a rate r and a dividend yield q, of American
        options (the default) or European ones (exercise="european");
    price_at_forward, implied_vol_at_forward, greeks_at_forward
        the same from the discount factor and the forward;
    IVStatus, ImpliedVolError, Greeks
        what they return and raise.

In the model's own terms (discount factor D, forward F, total standard
deviation sigma), the compiled core :mod:`vornet.vornet_core`:

    baw_price, baw_implied_vol, vectorized_baw_implied_vol, find_forward_baw

Each name is imported on first use, so that ``import vornet`` costs nothing
and the core is imported only when one of its functions is used: it needs
the interpreter lock, which the free-threaded interpreter turns back on when
it is imported. Nothing else in the package needs the lock.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # Each name re-exported as itself, so that checkers in strict mode take
    # it as part of the package.
    __version__: str
    from vornet.market import Greeks as Greeks
    from vornet.market import ImpliedVolError as ImpliedVolError
    from vornet.market import IVStatus as IVStatus
    from vornet.market import greeks as greeks
    from vornet.market import greeks_at_forward as greeks_at_forward
    from vornet.market import implied_vol as implied_vol
    from vornet.market import implied_vol_at_forward as implied_vol_at_forward
    from vornet.market import price as price
    from vornet.market import price_at_forward as price_at_forward
    from vornet.vornet_core import baw_implied_vol as baw_implied_vol
    from vornet.vornet_core import baw_price as baw_price
    from vornet.vornet_core import find_forward_baw as find_forward_baw
    from vornet.vornet_core import vectorized_baw_implied_vol as vectorized_baw_implied_vol

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

# Where each name comes from. Importing the package imports nothing else
# (not even NumPy): a name's module is imported when the name is first used.
_CORE_FUNCTIONS = ("baw_price", "baw_implied_vol", "vectorized_baw_implied_vol",
                   "find_forward_baw")
_HOMES = {name: "vornet.market" for name in __all__}
_HOMES.update({name: "vornet.vornet_core" for name in _CORE_FUNCTIONS})
_SUBMODULES = frozenset({"market", "vornet_core", "_engine", "chain", "dask"})


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(home), name)
    elif name == "__version__":
        from importlib.metadata import version

        value = version("vornet")
    elif name in _SUBMODULES:
        return importlib.import_module(f"vornet.{name}")
    else:
        raise AttributeError(f"module 'vornet' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    # The core's functions are left out: listing the package (as help()
    # does) would import the core.
    return sorted(set(globals()) | set(__all__) | {"__version__"})
