"""The arguments of the market-terms functions: numbers of every form
(Python numbers, sequences, arrays of any real dtype and layout, masked
arrays, Series) as float64, an option's side (``kind``) and exercise
(``exercise``) spelled in words, all broadcast to one shape and flattened
for the engine, with what it takes to give the results the callers' form
back."""

from __future__ import annotations

import sys
from typing import Any

import numpy as np

from vornet.defaults import MODELS

__all__ = ["AMERICAN", "EXERCISE", "KIND", "Choice", "Inputs", "as_float_array", "europeans",
           "is_series", "masked", "position", "refuse_frame", "scalar_exercise", "scalar_side",
           "side", "sides"]

_SIDES = {"c": True, "call": True, "p": False, "put": False}
_EXERCISES = {"a": False, "american": False, "e": True, "european": True}
AMERICAN = "american"
#: The default American model; ``model is BAW`` needs no look-up.
BAW = "baw"
_NUMBER_TYPES = (float, int)


class Choice:
    """A two-way choice spelled in words (in any case): kind's sides, True
    for a call, or exercise's styles, True for a European option."""

    def __init__(self, name: str, words: dict[str, bool], spelled: str,
                 common: tuple[tuple[str, str], ...]):
        self.name = name
        self.words = words
        self.spelled = spelled
        # The spellings of the usual (True, False) pairs, compared first.
        self.common = common

    def of(self, word: str) -> bool | None:
        """True or False for a known word, None for anything else."""
        value = self.words.get(word)
        if value is None:
            value = self.words.get(word.lower())
        return value

    def error(self, value: object, position: tuple[int, ...] | None = None) -> ValueError:
        where = "" if position is None else f" at position {position}"
        return ValueError(f"{self.name} must be {self.spelled} (in any case), "
                          f"got {value!r}{where}")

    def array(self, value: Any) -> np.ndarray:
        """`value` as a bool array; a masked element reads as the first
        word (its option is made invalid elsewhere)."""
        if isinstance(value, str):
            flag = self.of(value)
            if flag is None:
                raise self.error(value)
            return np.array(flag)
        refuse_frame(self.name, value)
        if np.ma.isMaskedArray(value):
            value = np.ma.filled(value.astype(object), next(iter(self.words)))
        values = value.to_numpy() if is_series(value) else np.asarray(value)
        if values.dtype.kind == "S":
            values = np.char.decode(values, "ascii", errors="replace")
        # Most inputs spell their words one way; comparing is cheaper than
        # lowering every string (or, in an object array, checking its type).
        # NumPy's variable-width strings (kind "T") compare and lower alike.
        if values.dtype.kind in "UOT":
            for yes, no in self.common:
                try:
                    yeses = np.asarray(values == yes, dtype=bool)
                    noes = np.asarray(values == no, dtype=bool)
                except TypeError:  # a missing value (pandas' NA) has no truth
                    break
                if (yeses | noes).all():
                    return yeses
        if values.dtype.kind == "T":
            # A variable-width string array may hold missing values: named below.
            values = values.astype(object)
        if values.dtype.kind == "O":
            # Strings among other objects: anything that is not a string is wrong.
            flat = values.reshape(-1)
            for i, item in enumerate(flat):
                if not isinstance(item, str):
                    raise self.error(item, position(i, values.shape))
            values = values.astype(str)
        if values.dtype.kind != "U":
            raise TypeError(f"{self.name} must be strings, not an array of {values.dtype}")
        lower = np.strings.lower(values)
        yeses = np.zeros(lower.shape, dtype=bool)
        known = np.zeros(lower.shape, dtype=bool)
        for word, flag in self.words.items():
            match = lower == word
            known |= match
            if flag:
                yeses |= match
        if not known.all():
            first = int(np.flatnonzero(~known.reshape(-1))[0])
            raise self.error(str(values.reshape(-1)[first]), position(first, values.shape))
        return yeses


KIND = Choice("kind", _SIDES, "'c', 'p', 'call' or 'put'", (("c", "p"), ("C", "P")))
EXERCISE = Choice("exercise", _EXERCISES, "'american' or 'european' ('a' or 'e')",
                    (("european", "american"), ("E", "A"), ("e", "a"),
                     ("European", "American"), ("EUROPEAN", "AMERICAN")))


def side(kind: str) -> bool | None:
    """True for a call, False for a put, None for anything else."""
    return KIND.of(kind)


def sides(kind: Any) -> np.ndarray:
    """The sides of `kind` as a bool array (True for a call)."""
    return KIND.array(kind)


def europeans(exercise: Any) -> np.ndarray:
    """The styles of `exercise` as a bool array (True for a European option)."""
    return EXERCISE.array(exercise)


def position(flat_index: int, shape: tuple[int, ...]) -> tuple[int, ...] | None:
    """The index in an array of `shape` of its element `flat_index` in C
    order; None for a single value."""
    if shape == ():
        return None
    return tuple(int(i) for i in np.unravel_index(flat_index, shape))


def is_series(value: object) -> bool:
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(value, pandas.Series)


def refuse_frame(name: str, value: object) -> None:
    """A DataFrame would broadcast as a 2-D array (one column against a
    Series of its rows: every row with every other): refused."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.DataFrame):
        raise TypeError(f"{name}: must be one column (a Series), not a DataFrame")


def masked(value: Any) -> np.ndarray | None:
    """Where a masked array is masked (None when nothing is)."""
    if np.ma.isMaskedArray(value) and np.ma.getmask(value) is not np.ma.nomask:
        return np.ma.getmaskarray(value)
    return None


def as_float_array(name: str, value: Any) -> np.ndarray:
    """`value` as float64, read-only to us: NumPy converts the dtype and
    byte order, and a Series gives its values (missing ones as NaN), a
    masked array its data with NaN where it is masked. Conversion errors
    name the argument."""
    refuse_frame(name, value)
    try:
        if is_series(value):
            return value.to_numpy(dtype=np.float64, na_value=np.nan)
        array = np.asarray(value)
        if array.dtype.kind == "c":
            raise TypeError(f"must be real, not {array.dtype}")
        if array.dtype.kind in "mMUSV":
            raise TypeError(f"must be numbers, not {array.dtype}")
        mask = masked(value)
        if mask is not None:
            return np.where(mask, np.nan, array.astype(np.float64))
        return array.astype(np.float64, copy=False)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: {error}") from error


class Inputs:
    """Arguments broadcast to one shape and flattened for the engine, with
    what it takes to give the results the callers' form back."""

    def __init__(self, names: tuple[str, ...], values: tuple[Any, ...], kind: Any,
                 exercise: Any = "american"):
        series = [v for v in (*values, kind, exercise) if is_series(v)]
        self.index = None
        self.name = None
        if series:
            self.index = series[0].index
            for other in series[1:]:
                if not other.index.equals(self.index):
                    raise ValueError("Series inputs must share one index; align them first "
                                     "(for example as columns of one DataFrame)")
            names_seen = {s.name for s in series}
            self.name = names_seen.pop() if len(names_seen) == 1 else None
        arrays = [as_float_array(n, v) for n, v in zip(names, values)]
        calls = sides(kind)
        styles = europeans(exercise)
        try:
            self.shape = np.broadcast_shapes(*(a.shape for a in arrays), calls.shape,
                                             styles.shape)
        except ValueError:
            shapes = ", ".join(f"{n} {a.shape}" for n, a in zip(names, arrays))
            raise ValueError(f"inputs could not be broadcast together: {shapes}, "
                             f"kind {calls.shape}, exercise {styles.shape}") from None
        if self.index is not None and self.shape != (len(self.index),):
            self._refuse_series_broadcast(
                len(self.index), (*names, "kind", "exercise"), (*values, kind, exercise),
                (*(a.shape for a in arrays), calls.shape, styles.shape))
        # A masked side or exercise makes its option invalid: its first input
        # is NaN.
        for choice in (kind, exercise):
            hidden = masked(choice)
            if hidden is not None:
                arrays[0] = np.where(hidden, np.nan, arrays[0])
        # Broadcasting makes views (a scalar becomes a zero stride); only an
        # input of more than one dimension may need a copy to flatten.
        self.flat = [np.broadcast_to(a, self.shape).reshape(-1) for a in arrays]
        self.sides = np.broadcast_to(calls, self.shape).reshape(-1)
        # The engine's flag: None where every option is American (it then
        # reads no flags), one bool for all, or one per option.
        self.european: bool | np.ndarray | None
        if styles.shape == ():
            self.european = True if styles else None
        else:
            self.european = np.broadcast_to(styles, self.shape).reshape(-1)
        self.scalar = self.index is None and self.shape == ()

    def _refuse_series_broadcast(self, count: int, names: tuple[str, ...],
                                 values: tuple[Any, ...],
                                 shapes: tuple[tuple[int, ...], ...]) -> None:
        """A result on the Series' index (of `count` rows) needs the inputs
        to broadcast to one value per row: refused, naming the Series and
        the inputs that make the shape other."""
        series = [n for n, v in zip(names, values) if is_series(v)]
        rows = (count,)
        others = [f"{n} {shape}" for n, shape in zip(names, shapes)
                  if np.broadcast_shapes(shape, rows) != rows]
        raise ValueError(f"{', '.join(series)}: a Series of {rows[0]} rows, but the inputs "
                         f"broadcast to {self.shape} ({', '.join(others)}); alongside a Series "
                         f"every input must be one value or one per row")

    def wrap(self, flat: np.ndarray) -> Any:
        """A result in the callers' form: float, array or Series."""
        if self.scalar:
            return flat.item()
        result = flat.reshape(self.shape)
        if self.index is not None:
            pandas = sys.modules["pandas"]
            return pandas.Series(result, index=self.index, name=self.name, copy=False)
        return result


def scalar_side(values: tuple[Any, ...], kind: Any) -> bool | None:
    """The side, when every input is a Python number and kind one string:
    then the engine computes the option directly."""
    if type(kind) is not str:
        return None
    for value in values:
        if type(value) not in _NUMBER_TYPES:
            return None
    return side(kind)


def scalar_exercise(exercise: Any) -> bool | None:
    """True for one European option, False for one American option, None for
    anything but one of the words."""
    return EXERCISE.of(exercise) if type(exercise) is str else None


def check_model(model: object) -> None:
    """Raises ValueError unless `model` is one of vornet.defaults.MODELS."""
    if model is BAW:
        return
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError(f"model must be {' or '.join(map(repr, MODELS))}, got {model!r}")


def model_options(model: object) -> dict[str, Any]:
    """The engine's keyword for `model` (none for the default), checked."""
    check_model(model)
    return {} if model == BAW else {"model": model}
