"""Time: quote times and expiries read from text or timestamps, and the
years between them, on the exchange's clock.

A time without a zone is local time in the clock's zone; a date alone is a
quote taken at the close. An expiry is timed to the close of its date, its
date taken in the clock's zone. Time to expiry counts real elapsed seconds
in years of 365 days, so a week over the change to summer time is an hour
shorter.

Values are parsed by pandas, once per distinct value (a chain repeats its
few quote times and expiries over every row): ISO 8601 (``2024-03-15 10:30``,
``2024-03-15T14:30:00Z``, ``2024-03-15``, ``20240315``) and the US layouts
``03/15/2024``, ``15-Mar-2024`` and ``2024/03/15``, each with an optional
``HH:MM``, ``HH:MM:SS`` or ``HH:MM:SS.ffffff``.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import math
from typing import Any
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

import numpy as np
import pandas as pd

from vornet.chain import calendars
from vornet.chain.calendars import Sessions
from vornet.chain.errors import ChainError
from vornet.defaults import CALENDAR, EXPIRY_TIME, TIMEZONE

__all__ = ["EXPIRY_TIME", "TIMEZONE", "CALENDAR", "SECONDS_PER_YEAR", "Clock", "Moments",
           "make_clock", "parse_time_of_day",
           "per_distinct", "year_fraction"]


SECONDS_PER_YEAR = 365.0 * 86400.0

# Text that is a date alone, in the layouts read.
_DATE_ONLY = (r"^(?:\d{4}-\d{2}-\d{2}|\d{8}|\d{1,2}/\d{1,2}/\d{4}|\d{1,2}-[A-Za-z]{3}-\d{4}"
              r"|\d{4}/\d{1,2}/\d{1,2})$")
# A time of day with its zone: Z or an offset from UTC after the time.
_WITH_ZONE = r":\d{2}(?::\d{2}(?:\.\d*)?)?\s*(?:[zZ]|[+-]\d{2}(?::?\d{2})?)$"
_ZONE = r"\s*(?:[zZ]|[+-]\d{2}(?::?\d{2})?)$"
_DATE_FORMATS = ("%Y-%m-%d", "%Y%m%d", "%m/%d/%Y", "%d-%b-%Y", "%Y/%m/%d")
_TIME_FORMATS = ("%H:%M:%S", "%H:%M", "%H:%M:%S.%f")
_NAIVE_FORMATS = ["ISO8601"] + [f"{d} {t}" for d in _DATE_FORMATS[1:] for t in _TIME_FORMATS]
_MICROSECONDS_PER_DAY = 86_400_000_000
_DEFAULT_CLOSE = dt.time.fromisoformat(EXPIRY_TIME)


def per_distinct(values: pd.Series, parse: Any) -> Any:
    """`parse` applied once to the distinct values of `values` (an object
    array of them) and spread back over the rows: each array `parse`
    returns, indexed by the rows' codes."""
    codes, uniques = pd.factorize(values, use_na_sentinel=False)
    distinct = np.asarray(uniques, dtype=object)
    answer = parse(distinct)
    if isinstance(answer, tuple):
        return tuple(part[codes] for part in answer)
    return answer[codes]


@dataclasses.dataclass(frozen=True)
class Moments:
    """Dates and times as read, per row: NaN where a value is missing or
    does not parse."""

    #: The instant, in seconds since the epoch, where a time of day is given.
    seconds: np.ndarray
    #: The calendar date in the clock's zone, in days since the epoch.
    day: np.ndarray


@dataclasses.dataclass(frozen=True)
class Clock:
    """Times of day in one time zone: a naive time is local time there.
    Options expire on their expiry's date at `close` when it is given, else
    at the close of the exchange's last session on or before that date
    (`sessions`), else at 16:00."""

    zone: ZoneInfo
    close: dt.time | None = None
    sessions: Sessions | None = None

    def read(self, values: pd.Series, expiry: bool = False) -> Moments:
        """Quote times or (`expiry`) expiries, from text, dates or
        timestamps (each distinct value parsed once, by
        :meth:`parse_distinct`)."""
        seconds, day = per_distinct(values, lambda d: self.parse_distinct(d, expiry))
        return Moments(seconds, day)

    def instants(self, moments: Moments) -> np.ndarray:
        """Seconds since the epoch of quote times or expiries: a date alone
        is taken at the close."""
        seconds = moments.seconds.copy()
        alone = np.isnan(seconds)
        if alone.any():
            seconds[alone] = self.close_seconds(moments.day[alone])
        return seconds

    def close_seconds(self, day: np.ndarray) -> np.ndarray:
        """Seconds since the epoch of the close on each day (days since the
        epoch; NaN gives NaN), worked out once per distinct day."""
        codes, days = pd.factorize(day, use_na_sentinel=False)
        return self._closes(np.asarray(days, dtype=np.float64))[codes]

    def _closes(self, day: np.ndarray) -> np.ndarray:
        if self.close is None and self.sessions is not None:
            seconds = self.sessions.close_of(day)
            # Days beyond the calendar's years close at the usual time.
            outside = np.isfinite(day) & np.isnan(seconds)
            if outside.any():
                seconds[outside] = self.at_time_of_day(day[outside], _DEFAULT_CLOSE)
            return seconds
        return self.at_time_of_day(day, self.close or _DEFAULT_CLOSE)

    def at_time_of_day(self, day: np.ndarray, time: dt.time | np.ndarray) -> np.ndarray:
        """Seconds since the epoch of a local time of day (one, or one per
        day as microseconds after midnight) on each day; NaN for NaN."""
        if isinstance(time, dt.time):
            after = dt.timedelta(hours=time.hour, minutes=time.minute, seconds=time.second,
                                 microseconds=time.microsecond) // dt.timedelta(microseconds=1)
            time = np.full(len(day), after, dtype=np.float64)
        known = np.isfinite(day) & np.isfinite(time)
        seconds = np.full(len(day), math.nan)
        if known.any():
            wall = (day[known].astype("int64").astype("datetime64[D]").astype("datetime64[us]")
                    + time[known].astype(np.int64).astype("timedelta64[us]"))
            seconds[known] = self._local_seconds(wall)
        return seconds

    def local_text(self, seconds: np.ndarray) -> np.ndarray:
        """Instants as the clock's local time, ``YYYY-MM-DD HH:MM:SS``."""
        stamps = pd.to_datetime(pd.Series(seconds), unit="s", utc=True).dt.tz_convert(self.zone)
        return stamps.dt.strftime("%Y-%m-%d %H:%M:%S").to_numpy(dtype=object)

    # -- parsing --------------------------------------------------------------

    def parse_distinct(self, distinct: np.ndarray, expiry: bool = False
                       ) -> tuple[np.ndarray, np.ndarray]:
        """(seconds, day) of each value of an object array: text, dates,
        timestamps (naive ones are local times, as naive text is). An
        `expiry` is a date: at midnight, in whatever zone it is given, it
        keeps its calendar date (and expires at the close); with another
        time of day it is the instant it expires at."""
        text = pd.Series([v if isinstance(v, str) else "" if _missing(v) else str(v)
                          for v in distinct], dtype=object).str.strip()
        date_only = text.str.match(_DATE_ONLY).to_numpy(dtype=bool)
        zoned = ~date_only & text.str.contains(_WITH_ZONE).to_numpy(dtype=bool)
        seconds = np.full(len(text), math.nan)
        day = np.full(len(text), math.nan)
        if zoned.any():
            utc = pd.to_datetime(text[zoned], format="ISO8601", utc=True, errors="coerce")
            moments = self._of_instants(utc.dt.tz_localize(None))
            seconds[zoned], day[zoned] = moments.seconds, moments.day
        naive = ~date_only & ~zoned
        if naive.any():
            wall = _wall(text[naive], _NAIVE_FORMATS)
            seconds[naive], day[naive] = self._local_seconds(wall), _days(wall)
        if date_only.any():
            day[date_only] = _days(_wall(text[date_only], list(_DATE_FORMATS)))
        if expiry:
            # Midnight as written, in its own zone: the date it names.
            given = ~date_only
            wall = _wall(text[given].str.replace(_ZONE, "", regex=True), _NAIVE_FORMATS)
            midnight = ~np.isnat(wall) & (wall.astype(np.int64) % _MICROSECONDS_PER_DAY == 0)
            place = np.flatnonzero(given)[midnight]
            seconds[place], day[place] = math.nan, _days(wall[midnight])
        return seconds, day

    def _of_instants(self, utc: pd.Series) -> Moments:
        """Naive UTC timestamps as instants, their dates in the clock's zone."""
        instants = utc.to_numpy(dtype="datetime64[us]")
        known = ~np.isnat(instants)
        seconds = np.full(len(instants), math.nan)
        seconds[known] = instants[known].astype(np.int64) / 1e6
        local = (pd.Series(instants).dt.tz_localize("UTC").dt.tz_convert(self.zone)
                 .dt.tz_localize(None).to_numpy(dtype="datetime64[us]"))
        return Moments(seconds, _days(local))

    def _local_seconds(self, wall: np.ndarray) -> np.ndarray:
        """Seconds since the epoch of local wall-clock times: an ambiguous
        time (clocks going back) is the first of the two, a time the clocks
        skip is the moment they change."""
        known = ~np.isnat(wall)
        seconds = np.full(len(wall), math.nan)
        if known.any():
            local = pd.Series(wall[known]).dt.tz_localize(
                self.zone, ambiguous=np.ones(int(known.sum()), dtype=bool),
                nonexistent="shift_forward")
            micro = local.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy(
                dtype="datetime64[us]").astype(np.int64)
            # Whole microseconds over 10**6, rounded once, as Python's
            # datetime.timestamp() does.
            seconds[known] = micro.astype(np.float64) / 1e6
        return seconds


def _missing(value: Any) -> bool:
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _wall(text: pd.Series, formats: list[str]) -> np.ndarray:
    """Naive timestamps of the text in the first of `formats` that parses
    each; NaT where none does."""
    wall = np.full(len(text), np.datetime64("NaT", "us"), dtype="datetime64[us]")
    left = np.ones(len(text), dtype=bool)
    for layout in formats:
        if not left.any():
            break
        parsed = pd.to_datetime(text[left], format=layout, errors="coerce")
        values = parsed.to_numpy(dtype="datetime64[us]")
        place = np.flatnonzero(left)
        wall[place] = values
        left[place[~np.isnat(values)]] = False
    return wall


def _days(wall: np.ndarray) -> np.ndarray:
    """The dates of naive timestamps, in days since the epoch (NaN for NaT)."""
    known = ~np.isnat(wall)
    days = np.full(len(wall), math.nan)
    days[known] = np.floor_divide(wall[known].astype(np.int64), _MICROSECONDS_PER_DAY)
    return days


def make_clock(close: str | dt.time | None = None, timezone: str | None = None,
               calendar: str | None = CALENDAR) -> Clock:
    """The clock that times to expiry are measured with.

    `close` (``HH:MM``), when given, is the time of day every option expires
    at; else an expiry closes with the last session of the exchange's
    `calendar` (by default the New York Stock Exchange's, XNYS) on or before
    its date, early closes and holidays included; with `calendar` None or
    ``"none"``, at 16:00. `timezone` is that of the close and of quote times
    given without one: by default the calendar's (America/New_York without
    one)."""
    sessions = None if calendar in (None, calendars.NONE) else calendars.load(str(calendar))
    timezone = timezone or (sessions.zone if sessions is not None else TIMEZONE)
    try:
        zone = ZoneInfo(timezone)
    except (ZoneInfoNotFoundError, ValueError):
        raise ChainError(f"unknown time zone {timezone!r} (a name such as "
                         f"'America/New_York' or 'Europe/London')") from None
    return Clock(zone, parse_time_of_day(close, "expiry time"), sessions)


def parse_time_of_day(text: str | dt.time | None, what: str) -> dt.time | None:
    """A time of day (``HH:MM`` or ``HH:MM:SS``); None for None."""
    if text is None or isinstance(text, dt.time):
        return text
    try:
        return dt.time.fromisoformat(text.strip())
    except ValueError:
        raise ChainError(f"{what} {text!r} is not a time of day such as '16:00'") from None


def year_fraction(quote_time: Any, expiration: Any, clock: Clock | None = None) -> float:
    """The time in years of 365 days from a quote time to its expiry (the
    close of its date, or the instant given), as
    :func:`vornet.chain.surface` measures it; NaN when either does not
    parse."""
    clock = clock or make_clock()
    quote = clock.read(pd.Series([quote_time], dtype=object))
    expiry = clock.read(pd.Series([expiration], dtype=object), expiry=True)
    seconds = clock.instants(expiry) - clock.instants(quote)
    return float(seconds[0] / SECONDS_PER_YEAR)
