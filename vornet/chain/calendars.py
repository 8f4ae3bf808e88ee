"""Exchange calendars: when each session closes, early closes and holidays
included, from the `exchange_calendars` package.

An expiry dated on a day without a session (a Saturday, a holiday) expires
at the close of the last session before it; one dated on a day that closes
early expires at the early close. Building a calendar takes the package
about half a second, so each calendar's sessions and closes from 1990 to
2040 are kept, once built, in a cache folder (``$VORNET_CACHE``, else
``$XDG_CACHE_HOME/vornet``, else ``~/.cache/vornet``), one small file per
calendar and version of the package; where the folder cannot be written the
calendar is built every time.
"""

from __future__ import annotations

import dataclasses
import os
import tempfile
import warnings
from functools import lru_cache
from importlib import metadata
from pathlib import Path

import numpy as np

from vornet.chain.errors import ChainError

__all__ = ["NONE", "Sessions", "load"]

#: The calendar name that means none: a fixed close every day.
NONE = "none"
_FIRST, _LAST = "1990-01-01", "2040-12-31"
_NANOSECONDS_PER_DAY = 86_400 * 10**9


@dataclasses.dataclass(frozen=True)
class Sessions:
    """The sessions of one exchange: their days and when each closes."""

    name: str
    #: The exchange's time zone.
    zone: str
    #: Session days, in days since the epoch, ascending.
    days: np.ndarray
    #: Each session's close, in seconds since the epoch.
    closes: np.ndarray

    def close_of(self, day: np.ndarray) -> np.ndarray:
        """The close of the last session on or before each day (days since
        the epoch); NaN for a day outside the calendar's years or NaN."""
        day = np.asarray(day, dtype=np.float64)
        known = np.isfinite(day) & (day >= self.days[0]) & (day <= self.days[-1] + 7)
        closes = np.full(len(day), np.nan)
        at = np.searchsorted(self.days, day[known], side="right") - 1
        closes[known] = self.closes[at]
        return closes


def _cache_folder() -> Path:
    explicit = os.environ.get("VORNET_CACHE")
    if explicit:
        return Path(explicit)
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "vornet"


def _build(name: str) -> Sessions:
    try:
        import exchange_calendars
    except ImportError:
        raise ChainError("the exchange calendars need exchange_calendars: pip install "
                         "exchange_calendars (or --calendar none)") from None
    try:
        with warnings.catch_warnings():  # the package's own deprecations, not ours
            warnings.simplefilter("ignore")
            calendar = exchange_calendars.get_calendar(name, start=_FIRST, end=_LAST)
    except exchange_calendars.errors.InvalidCalendarName:
        raise ChainError(f"unknown exchange calendar {name!r}: a name such as XNYS (New York), "
                         f"XLON (London) or XTKS (Tokyo), or none") from None
    days = calendar.sessions.to_numpy(dtype="datetime64[D]").astype(np.int64)
    closes = calendar.closes.dt.tz_convert(None).to_numpy(dtype="datetime64[us]")
    return Sessions(name, str(calendar.tz), days, closes.astype(np.int64) / 1e6)


@lru_cache(maxsize=8)
def load(name: str) -> Sessions:
    """The sessions of the calendar `name` (an exchange's ISO code such as
    XNYS, or one of the package's other names), from the cache folder or
    built and kept there. Raises ChainError for an unknown name."""
    try:
        version = metadata.version("exchange_calendars")
    except metadata.PackageNotFoundError:
        version = "none"
    path = _cache_folder() / f"calendar-{name}-{version}.npz"
    try:
        with np.load(path, allow_pickle=False) as kept:
            return Sessions(name, str(kept["zone"]), kept["days"], kept["closes"])
    except (OSError, KeyError, ValueError):
        pass
    sessions = _build(name)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=path.parent, suffix=".npz", delete=False) as file:
            np.savez(file, zone=np.array(sessions.zone), days=sessions.days,
                     closes=sessions.closes)
        os.replace(file.name, path)
    except OSError:  # no cache: the calendar is built again next time
        pass
    return sessions
