"""Values of a chain: numbers, sides, times on the exchange's clock, rate
curves, and the statuses of rows that cannot be solved."""

import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest

from vornet import chain
from vornet.chain import values
from vornet.chain.columns import resolve_columns
from vornet.chain.files import Chain


@pytest.mark.parametrize("text, number, state", [
    ("150", 150.0, "ok"), (" 1.5 ", 1.5, "ok"), ("-.5", -0.5, "ok"), ("5.", 5.0, "ok"),
    ("1.5e-3", 1.5e-3, "ok"), ("+2E2", 200.0, "ok"), ("0.1", 0.1, "ok"),
    ("", None, "missing"), ("  ", None, "missing"), ("NaN", None, "missing"),
    ("n/a", None, "missing"), ("NULL", None, "missing"), ("None", None, "missing"),
    ("9_0", None, "bad"), ("\u0661\u0662", None, "bad"), ("1,280.0", None, "bad"),
    ("inf", None, "bad"), ("1e999", None, "bad"), ("0x10", None, "bad"), ("1O5", None, "bad"),
    ("123456789.123456789", 123456789.123456789, "ok"), ("4.9e-324", 5e-324, "ok"),
    ("\t0.30000000000000004\n", 0.30000000000000004, "ok"), ("1e", None, "bad"),
])
def test_numbers_are_plain_decimals(text, number, state):
    for column in (pd.Series([text, "1"], dtype=object), pd.Series([text, "1"], dtype="str")):
        parsed, missing, bad = values.numbers(column)
        assert (bool(missing[0]), bool(bad[0])) == (state == "missing", state == "bad")
        if number is None:
            assert math.isnan(parsed[0])
        else:
            assert parsed[0] == number
        assert parsed[1] == 1.0 and not missing[1] and not bad[1]
        # The typed output's reading (pyarrow's kernels where the text is
        # pyarrow's) gives the same number, or none.
        typed = values.typed_numbers(column)
        assert typed[1] == 1.0
        assert (math.isnan(typed[0]) if number is None else typed[0] == number)


def test_numbers_of_a_numeric_column():
    parsed, missing, bad = values.numbers(pd.Series([1.5, np.nan, np.inf, 3]))
    assert parsed[0] == 1.5 and missing.tolist() == [False, True, False, False]
    assert bad.tolist() == [False, False, True, False]


@pytest.mark.parametrize("points", [
    [(0.0, 0.05), (1.0, 0.04), (2.0, 0.03)],
    [(2.0, 0.03), (1.0, 0.04), (0.0, 0.05)],
    [(1.0, 0.04), (2.0, 0.03), (0.0, 0.05)],
])
def test_a_rate_curve_in_any_order(points):
    curve = chain.RateCurve.from_points(points)
    assert curve.years.tolist() == [0.0, 1.0, 2.0]
    T = np.array([0.5, 1.5, 3.0])
    np.testing.assert_array_equal(curve.discount(T), np.exp(-np.array([0.045, 0.035, 0.03]) * T))


@pytest.mark.parametrize("text, says", [
    ("years,rate\n1,0.02\n1,0.03\n", "two rates for 1 years"),
    ("years,rate\n1\n", "line 2: expected two numbers"),
    ("", "has no points"),
    ("1,0.02\n-1,0.03\n", "must not be negative"),
])
def test_a_bad_rate_curve(tmp_path, text, says):
    (tmp_path / "rates.csv").write_text(text)
    with pytest.raises(chain.ChainError, match=says):
        chain.RateCurve.read(tmp_path / "rates.csv")


def test_a_rate_curve_file_with_comments_and_separators(tmp_path):
    (tmp_path / "rates.csv").write_text("# maturity rate\nyears;rate\n\n0.5 0.02  # short\n"
                                        "2;0.03\n")
    curve = chain.RateCurve.read(tmp_path / "rates.csv")
    assert curve.years.tolist() == [0.5, 2.0] and curve.rates.tolist() == [0.02, 0.03]


# Seconds from the quote to the expiry's close, for quote and expiry given
# in several forms (New York, 16:00 unless said).
WEEK = 7 * 86400.0


@pytest.mark.parametrize("quote, expiry, clock, seconds", [
    ("2024-03-15 10:30:00", "2024-03-22", {}, WEEK + 5.5 * 3600),
    ("2024-03-15T10:30", "20240322", {}, WEEK + 5.5 * 3600),
    ("03/15/2024 10:30", "03/22/2024", {}, WEEK + 5.5 * 3600),
    ("15-Mar-2024 10:30:00", "22-Mar-2024", {}, WEEK + 5.5 * 3600),
    ("2024/03/15 10:30:00.250", "2024/03/22", {}, WEEK + 5.5 * 3600 - 0.25),
    ("2024-03-15T14:30:00Z", "2024-03-22", {}, WEEK + 5.5 * 3600),
    ("2024-03-15T15:30:00+01:00", "2024-03-22", {}, WEEK + 5.5 * 3600),
    ("2024-03-15", "2024-03-22", {}, WEEK),  # a date alone is quoted at the close
    ("2024-03-08 10:30:00", "2024-03-15", {}, WEEK + 4.5 * 3600),  # summer time begins
    ("2024-03-15 10:30:00", "2024-03-22", {"close": "09:30"}, WEEK - 3600),
    ("2024-03-15 10:30:00", "2024-03-22", {"timezone": "Europe/London", "calendar": "none"},
     WEEK + 5.5 * 3600),
    (pd.Timestamp("2024-03-15 10:30"), dt.date(2024, 3, 22), {}, WEEK + 5.5 * 3600),
])
def test_time_to_expiry(quote, expiry, clock, seconds):
    made = chain.make_clock(**clock)
    years = chain.year_fraction(quote, expiry, made)
    assert years == pytest.approx(seconds / (365 * 86400), rel=0, abs=1e-14)


@pytest.mark.parametrize("text", ["soon", "2024-02-30", "2024-13-01 10:00", "", "31/12/2024"])
def test_a_date_that_does_not_parse(text):
    assert math.isnan(chain.year_fraction(text, "2024-03-22"))
    assert math.isnan(chain.year_fraction("2024-03-15", text))


def test_an_ambiguous_hour_is_the_first_and_a_skipped_one_moves_on():
    clock = chain.make_clock()
    moments = clock.read(pd.Series(["2024-11-03 01:30", "2024-03-10 02:30"], dtype=object))
    first = dt.datetime(2024, 11, 3, 5, 30, tzinfo=dt.timezone.utc).timestamp()  # 01:30 EDT
    changed = dt.datetime(2024, 3, 10, 7, 0, tzinfo=dt.timezone.utc).timestamp()  # 03:00 EDT
    assert moments.seconds.tolist() == [first, changed]


@pytest.mark.parametrize("close, zone, says", [
    ("4pm", "America/New_York", "not a time of day"),
    ("16:00", "Mars/Olympus", "unknown time zone"),
])
def test_a_bad_clock(close, zone, says):
    with pytest.raises(chain.ChainError, match=says):
        chain.make_clock(close, zone)


def parsed(rows, **columns):
    frame = pd.DataFrame(rows, dtype=object)
    made = Chain(frame, np.arange(2, len(frame) + 2))
    return values.parse_quotes(made, resolve_columns(frame.columns, columns or None),
                               chain.make_clock())


BASE = {"quote_datetime": "2024-03-15 10:30:00", "expiration": "2024-03-22", "strike": "100",
        "option_type": "C", "bid": "2.5", "ask": "2.6", "underlying_bid": "99.9",
        "underlying_ask": "100.1"}


@pytest.mark.parametrize("change, status, problem", [
    ({}, "", None),
    ({"bid": "2.7"}, "crossed quote", None),
    ({"ask": ""}, "one-sided quote", None),
    ({"bid": "0", "ask": "0"}, "no quote", None),
    ({"expiration": "2024-03-14"}, "expired", None),
    ({"expiration": "2024-03-14", "bid": "0", "ask": "0"}, "expired", None),
    ({"strike": "-5", "bid": "3", "ask": "2"}, "invalid row", "strike '-5' is not positive"),
    ({"option_type": " put "}, "", None),
    ({"option_type": "X"}, "invalid row", "option_type 'X' is not C or P"),
    ({"quote_datetime": ""}, "invalid row", "quote_datetime is missing"),
    ({"underlying_ask": "abc"}, "invalid row", "underlying_ask 'abc' is not a number"),
    ({"ask": "-1"}, "invalid row", "ask '-1' is negative"),
])
def test_the_statuses_before_solving(change, status, problem):
    quotes = parsed([BASE, {**BASE, **change}])
    assert quotes.status.tolist() == ["", status]
    if problem:
        assert quotes.problems.detail(1) == f"line 3: {problem}"
    assert quotes.mid[0] == 2.55 and quotes.spot[0] == 100.0


def test_every_problem_of_a_row_in_the_order_of_its_fields():
    quotes = parsed([{**BASE, "strike": "x", "option_type": "?", "expiration": "",
                      "bid": "-1"}])
    assert quotes.problems.detail(0) == ("line 2: strike 'x' is not a number; option_type '?' "
                                         "is not C or P; expiration is missing; bid '-1' is "
                                         "negative")


def test_one_price_and_the_underlying_price():
    rows = [{"quote_date": "2024-03-15", "expiration": "2024-03-22", "strike": "100",
             "option_type": "p", "mark": "1.25", "underlying_price": "101"}]
    quotes = parsed(rows, price="mark")
    assert quotes.mid.tolist() == [1.25] and quotes.spot.tolist() == [101.0]
    assert quotes.T[0] == pytest.approx(7 / 365, abs=1e-15)
    assert quotes.is_put.tolist() == [True]


@pytest.mark.parametrize("expiry, seconds", [
    ("2024-03-22", WEEK + 5.5 * 3600),                       # a date: at the close
    ("2024-03-22T00:00:00Z", WEEK + 5.5 * 3600),             # midnight in UTC: that date
    ("2024-03-22 00:00:00+09:00", WEEK + 5.5 * 3600),        # midnight in Tokyo: that date
    ("2024-03-22 00:00", WEEK + 5.5 * 3600),                 # midnight, local
    (pd.Timestamp("2024-03-22", tz="UTC"), WEEK + 5.5 * 3600),
    ("2024-03-22 09:30", WEEK - 1 * 3600),                   # an instant: used as one
    ("2024-03-22T13:30:00Z", WEEK - 1 * 3600),               # 09:30 in New York
])
def test_an_expiry_is_a_date_unless_a_time_of_day_is_given(expiry, seconds):
    years = chain.year_fraction("2024-03-15 10:30:00", expiry)
    assert years == pytest.approx(seconds / (365 * 86400), rel=0, abs=1e-14)


def test_expiries_stored_as_utc_timestamps_keep_their_dates(tmp_path):
    """A Parquet expiry column of UTC-midnight timestamps gives the same
    times to expiry and volatilities as the dates themselves."""
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    from vornet import demo

    frame = demo.make_chain(7, exact=True).chain
    as_dates = frame.assign(expiration=pd.to_datetime(frame["expiration"]).dt.date)
    as_stamps = frame.assign(expiration=pd.to_datetime(frame["expiration"]).dt.tz_localize("UTC"))
    curve = chain.RateCurve.flat(0.05)
    results = []
    for name, table in (("dates", as_dates), ("stamps", as_stamps)):
        table.to_parquet(tmp_path / f"{name}.parquet", index=False)
        results.append(chain.surface(chain.read_chain(tmp_path / f"{name}.parquet"), curve))
    for column in ("T", "forward", "iv"):
        pd.testing.assert_series_equal(results[0].table[column], results[1].table[column])
    assert results[1].summary["expiration"].tolist() == sorted(set(frame["expiration"]))


HOUR = 3600.0


@pytest.mark.parametrize("quote, expiry, clock, seconds", [
    # Christmas Eve 2015 closed at 13:00: a same-day expiry is 2.5 hours off.
    ("2015-12-24 10:30:00", "2015-12-24", {}, 2.5 * HOUR),
    ("2015-12-24 10:30:00", "2015-12-24", {"calendar": "none"}, 5.5 * HOUR),
    # Monthlies were dated on the Saturday: they expire at Friday's close.
    ("2014-06-06 10:30:00", "2014-06-21", {}, 14 * 86400 + 5.5 * HOUR),
    ("2014-06-06 10:30:00", "2014-06-21", {"calendar": "none"}, 15 * 86400 + 5.5 * HOUR),
    # Good Friday 2014 had no session: Thursday's close.
    ("2014-04-16 10:30:00", "2014-04-18", {}, 86400 + 5.5 * HOUR),
    # An expiry time given overrides the calendar.
    ("2015-12-24 10:30:00", "2015-12-24", {"close": "16:00"}, 5.5 * HOUR),
])
def test_the_exchanges_calendar(quote, expiry, clock, seconds):
    years = chain.year_fraction(quote, expiry, chain.make_clock(**clock))
    assert years == pytest.approx(seconds / (365 * 86400), rel=0, abs=1e-14)


def test_an_expiry_time_per_row_comes_first():
    rows = [{**BASE, "expiration": "2015-12-24", "quote_datetime": "2015-12-24 08:00:00",
             "expiration_time": t} for t in ("09:30", "", "soon")]
    rows.append({**rows[0], "expiration": "2015-12-24 11:00", "expiration_time": "09:30"})
    quotes = parsed(rows)
    hours = (quotes.expiry_seconds - quotes.quote_seconds) / HOUR
    assert hours[0] == 1.5 and hours[1] == 5.0 and hours[3] == 1.5  # 13:00 the early close
    assert quotes.problems.detail(2) == "line 4: expiration_time 'soon' is not a time of day"


def test_an_unknown_calendar_is_named():
    with pytest.raises(chain.ChainError, match="unknown exchange calendar 'XMARS'"):
        chain.make_clock(calendar="XMARS")


def test_a_calendar_is_built_once_and_kept(tmp_path, monkeypatch):
    from vornet.chain import calendars

    monkeypatch.setenv("VORNET_CACHE", str(tmp_path))
    calendars.load.cache_clear()
    try:
        first = calendars.load("XNYS")
        kept = list(tmp_path.iterdir())
        assert len(kept) == 1 and kept[0].name.startswith("calendar-XNYS-")
        calendars.load.cache_clear()
        monkeypatch.setattr(calendars, "_build", lambda name: pytest.fail("built again"))
        again = calendars.load("XNYS")
        assert (again.days == first.days).all() and (again.closes == first.closes).all()
        assert again.zone == "America/New_York"
    finally:
        calendars.load.cache_clear()


def test_numbers_as_written_are_the_decimals_written():
    """Each number's digits and decimal places, read by string operations
    or one by one, are those of the decimal it writes."""
    import decimal
    import random

    rng = random.Random(7)
    texts = []
    for _ in range(3000):
        texts += [str(rng.randint(0, 10 ** rng.randint(1, 18))),
                  f"{rng.random() * 10 ** rng.randint(-3, 8):.{rng.randint(0, 12)}f}",
                  f"{rng.choice(['', '+', '-'])}.{rng.randint(0, 99999)}",
                  f"{rng.randint(0, 999)}.", f"{rng.random():.3e}",
                  f" {rng.randint(0, 99)}.{rng.randint(0, 99):02d}0 ",
                  "0" * rng.randint(1, 4) + f"{rng.randint(0, 999)}." + "0" * rng.randint(0, 20)]
    _, _, _, scaled, places = values.numbers(pd.Series(texts, dtype=object), written=True)
    for text, got, shift in zip(texts, scaled, places):
        number = decimal.Decimal(text.strip())
        want_places = max(-int(number.as_tuple().exponent), 0)
        whole = int(number.scaleb(want_places))
        assert shift == want_places, text
        assert got == whole if abs(whole) < 2**53 else math.isnan(got), text
