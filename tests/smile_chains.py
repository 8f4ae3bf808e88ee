"""Chains the picture and report tests draw: twenty expiries, the first a
few hours after the quote time, and a folder of two underlyings."""

import datetime as dt
from pathlib import Path

from vornet import chain, demo

#: The quote date itself (expiring at the close, five and a half hours
#: away), eight Fridays, then monthly and longer expiries.
TWENTY_EXPIRIES = (("2024-03-15",)
                   + tuple((dt.date(2024, 3, 22) + dt.timedelta(weeks=w)).isoformat()
                           for w in range(8))
                   + ("2024-06-21", "2024-07-19", "2024-08-16", "2024-09-20", "2024-10-18",
                      "2024-11-15", "2024-12-20", "2025-01-17", "2025-03-21", "2025-06-20",
                      "2026-01-16"))


def twenty_expiries(sides=True):
    """The surface of a generated chain of twenty expiries (with the bid
    and ask volatilities when `sides`)."""
    generated = demo.make_chain(2024, expiries=TWENTY_EXPIRIES)
    return chain.surface(generated.chain, generated.market.curve(), sides=sides)


def two_underlyings(folder):
    """A folder of one CSV chain for each of two underlyings, XYZ1 and
    XYZ2, quoted on the same afternoon; returns the folder."""
    folder = Path(folder)
    demo.make_dataset(folder, days=1, symbols=2, strike_count=15, suffix=".csv", exact=True)
    return folder
