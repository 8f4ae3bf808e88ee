"""The package's defaults, written once: the time of day options expire at
and the time zone of the exchange's clock, and the implied-volatility
solvers (the default first). Nothing is imported here, so that the command
line can show them without loading the library."""

from __future__ import annotations

__all__ = ["EXPIRY_TIME", "TIMEZONE", "METHODS"]

#: The close options expire at, in the exchange's time zone.
EXPIRY_TIME = "16:00"
#: The zone of the expiry time and of quote times given without one.
TIMEZONE = "America/New_York"
#: The implied-volatility solvers: "exact" (the default) and "fast".
METHODS = ("exact", "fast")
