"""Interest rates: a flat rate or a curve of continuously compounded zero
rates by maturity, and the discount factors they give."""

from __future__ import annotations

import dataclasses
import math
import os
import re
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import numpy as np

from vornet.chain.errors import ChainError

__all__ = ["RateCurve"]


@dataclasses.dataclass(frozen=True)
class RateCurve:
    """Continuously compounded zero rates by years to maturity: linear
    between the points, flat beyond the first and the last."""

    years: np.ndarray
    rates: np.ndarray

    @classmethod
    def flat(cls, rate: float) -> RateCurve:
        if not math.isfinite(rate):
            raise ChainError(f"the rate must be a finite number, got {rate!r}")
        _check_unit(float(rate), "the rate")
        return cls(np.array([0.0]), np.array([float(rate)]))

    @classmethod
    def from_points(cls, points: Iterable[tuple[float, float]]) -> RateCurve:
        pairs = sorted((float(t), float(r)) for t, r in points)
        if not pairs:
            raise ChainError("the rate curve has no points")
        years = np.array([t for t, _ in pairs])
        rates = np.array([r for _, r in pairs])
        if not (np.isfinite(years).all() and np.isfinite(rates).all()):
            raise ChainError("the rate curve's years and rates must be finite numbers")
        if (years < 0).any():
            raise ChainError("the rate curve's years must not be negative")
        if (np.diff(years) == 0).any():
            raise ChainError(f"the rate curve gives two rates for "
                             f"{years[1:][np.diff(years) == 0][0]:g} years")
        for t, r in zip(years, rates):
            _check_unit(float(r), f"the rate at {t:g} years")
        return cls(years, rates)

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> RateCurve:
        """Reads two columns, years and rate (0.02 for 2 %), separated by a
        comma, a semicolon or white space; an optional header line, blank
        lines and ``#`` comments are skipped."""
        path = Path(path)
        try:
            text = path.read_text(encoding="utf-8-sig")
        except (OSError, UnicodeDecodeError) as error:
            raise ChainError(f"cannot read the rate curve {path}: {error}") from None
        points = []
        first = True
        for number, line in enumerate(text.splitlines(), start=1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [f for f in re.split(r"[,;\s]+", line) if f]
            try:
                if len(fields) != 2:
                    raise ValueError
                points.append((float(fields[0]), float(fields[1])))
            except ValueError:
                if first and not any(_is_number(f) for f in fields):
                    first = False
                    continue  # a header line
                raise ChainError(f"{path.name} line {number}: expected two numbers, years and "
                                 f"rate, got {line!r}") from None
            first = False
        try:
            return cls.from_points(points)
        except ChainError as error:
            raise ChainError(f"{path.name}: {error}") from None

    def rate(self, T: Any) -> np.ndarray:
        return np.interp(T, self.years, self.rates)

    def discount(self, T: Any) -> np.ndarray:
        return np.exp(-self.rate(T) * np.asarray(T, dtype=np.float64))


def _check_unit(rate: float, what: str) -> None:
    """A rate of more than 100 % a year either way is a percentage written
    as a number (2 meant as 2 %)."""
    if abs(rate) > 1.0:
        raise ChainError(f"{what} is {rate:g}: rates are decimals: 0.02 is 2 %")


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
