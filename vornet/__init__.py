"""vornet: American options by the Barone-Adesi-Whaley (1987) approximation.

The compiled module :mod:`vornet.vornet_core` holds the functions; they are
re-exported here.
"""

from vornet.vornet_core import (
    baw_implied_vol,
    baw_price,
    find_forward_baw,
    vectorized_baw_implied_vol,
)

__all__ = ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"]
