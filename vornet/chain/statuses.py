"""What a row's ``status`` says: the names, in the order the report counts
them, and the meaning of each."""

from __future__ import annotations

import numpy as np

from vornet.market import IVStatus

__all__ = ["SOLVED", "NO_TIME_VALUE", "ABOVE_MAXIMUM", "NO_CONVERGENCE", "NO_VOLATILITY_INFO",
           "UNSUPPORTED", "ONE_SIDED", "NO_QUOTE", "CROSSED", "EXPIRED", "NO_FORWARD", "INVALID_ROW", "STATUSES",
           "of_iv_status"]

SOLVED = "solved"
NO_TIME_VALUE = "no time value"
ABOVE_MAXIMUM = "above maximum"
NO_CONVERGENCE = "no convergence"
NO_VOLATILITY_INFO = "no volatility information"
UNSUPPORTED = "unsupported"
ONE_SIDED = "one-sided quote"
NO_QUOTE = "no quote"
CROSSED = "crossed quote"
EXPIRED = "expired"
NO_FORWARD = "no forward"
INVALID_ROW = "invalid row"

#: Every status a row can have, with what it means, in the order the report
#: counts them.
STATUSES: dict[str, str] = {
    SOLVED: "the volatility reproduces the mid price at the expiry's forward",
    NO_TIME_VALUE: "the mid is at or below the exercise value, or below the model's lowest "
                   "price: no volatility is worth it",
    ABOVE_MAXIMUM: "the mid is above the model's price at a total deviation of 8",
    NO_CONVERGENCE: "the root finder stopped at its iteration limit",
    NO_VOLATILITY_INFO: "the mid does not move with volatility (the model's prices at half and "
                        "at twice the root both equal it): it carries none",
    UNSUPPORTED: "the model does not price the option: the integral model with two exercise "
                 "boundaries (a put with q < r < 0, a call with r < q < 0)",
    ONE_SIDED: "only a bid or only an ask (the other missing or zero)",
    NO_QUOTE: "neither a bid nor an ask (both missing or zero), or no price",
    CROSSED: "the bid is above the ask",
    EXPIRED: "the quote time is at or after the expiry",
    NO_FORWARD: "the expiry has no forward: no strike near the money is quoted on both "
                "sides with calls and puts that solve",
    INVALID_ROW: "a value is missing or does not parse, or cannot be a market value; "
                 "`detail` says which, with the row's line",
}

# The row status of each of the solver's codes, indexed by the code.
_OF_IV_STATUS = np.array([{
    IVStatus.SOLVED: SOLVED,
    IVStatus.NO_TIME_VALUE: NO_TIME_VALUE,
    IVStatus.ABOVE_MAXIMUM: ABOVE_MAXIMUM,
    IVStatus.INVALID_INPUT: INVALID_ROW,
    IVStatus.NO_CONVERGENCE: NO_CONVERGENCE,
    IVStatus.NO_VOLATILITY_INFO: NO_VOLATILITY_INFO,
    IVStatus.UNSUPPORTED: UNSUPPORTED,
}[IVStatus(code)] for code in range(len(IVStatus))], dtype=object)


def of_iv_status(codes: np.ndarray) -> np.ndarray:
    """The row statuses of the implied-volatility solver's status codes."""
    return _OF_IV_STATUS[codes]
