"""The package's defaults, written once: the exchange calendar, the time of
day options expire at and the time zone of the exchange's clock without
one, and the implied-volatility solvers (the default first). Nothing is imported here, so that the command
line can show them without loading the library."""

from __future__ import annotations

__all__ = ["EXPIRY_TIME", "TIMEZONE", "CALENDAR", "METHODS", "PLOT_MIN_DAYS",
           "PLOT_MAX_EXPIRIES"]

#: The exchange calendar whose session closes options expire at: the New
#: York Stock Exchange's ("none" for a fixed close every day).
CALENDAR = "XNYS"
#: The close options expire at without a calendar, in the exchange's zone.
EXPIRY_TIME = "16:00"
#: The zone of the expiry time and of quote times given without one, where
#: no calendar gives it.
TIMEZONE = "America/New_York"
#: The implied-volatility solvers: "exact" (the default) and "fast".
METHODS = ("exact", "fast")
#: The American models: "baw" (the approximation, the default) and
#: "integral" (the exercise boundary solved).
MODELS = ("baw", "integral")
#: Expiries shorter than this many days get no panel in the picture and the
#: report: none, since every panel is scaled on its own and a same-day
#: expiry's wide wings no longer hide the other smiles.
PLOT_MIN_DAYS = 0.0
#: The nearest expiries that get a panel, at most.
PLOT_MAX_EXPIRIES = 24
