"""American options in market terms, over NumPy arrays and pandas Series.

Every function here takes spot ``S``, strike ``K``, time to expiry ``T`` in
years, and either a continuously compounded rate ``r`` and dividend yield
``q`` or (the ``*_at_forward`` forms) the discount factor and forward
directly. The model underneath is written in total-variance terms::

    discount = exp(-r * T)
    forward  = S * exp((r - q) * T)
    sigma    = vol * sqrt(T)          (total standard deviation)

and back, ``r = -log(discount) / T`` and ``q = r - log(forward / S) / T``.

Inputs broadcast against each other by NumPy's rules. Python numbers in give
a float out, arrays give an array of the broadcast shape, and pandas Series
give a Series on the same index. Inputs are never written to. An element
that the model cannot take (a NaN, an infinity, a spot, strike, time,
discount factor or forward that is not positive, a negative volatility), or
that a masked array masks, gives NaN in its place; the other elements are
computed as usual. A DataFrame, and inputs that broadcast beside a Series to
anything but one value per row, are refused before any work.

``workers`` splits the loop over native threads, as in SciPy: 1 by default,
-1 for every core this process may use. The results do not depend on it.
"""

from __future__ import annotations

import enum
import inspect
import sys
import textwrap
from collections.abc import Callable
from typing import Any, Literal, NamedTuple, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

from vornet import _engine
from vornet.defaults import METHODS

__all__ = [
    "price",
    "price_at_forward",
    "implied_vol",
    "implied_vol_at_forward",
    "greeks",
    "greeks_at_forward",
    "Greeks",
    "IVStatus",
    "ImpliedVolError",
    "METHODS",
    "check_method",
    "resolve_workers",
]

_F = TypeVar("_F", bound=Callable[..., Any])

#: What the functions accept for a number: a scalar, a sequence, an array of
#: any real dtype, or a pandas Series.
ArrayLike: TypeAlias = "npt.ArrayLike"
#: An option's side: 'c', 'call', 'p' or 'put' in any case, or an array of them.
KindLike: TypeAlias = "str | npt.ArrayLike"
Method: TypeAlias = Literal["exact", "fast"]


class IVStatus(enum.IntEnum):
    """Why :func:`implied_vol` did or did not find a volatility."""

    #: A volatility reproduces the price.
    SOLVED = 0
    #: The price is at or below the exercise value, or below the lowest price
    #: the model gives (with carry, the discounted intrinsic value on the
    #: forward), so no volatility is worth it.
    NO_TIME_VALUE = 1
    #: The price is above the model's price at a total standard deviation of 8.
    ABOVE_MAXIMUM = 2
    #: An input is NaN or infinite, a spot, strike, time, discount factor or
    #: forward is not positive, or the price is negative.
    INVALID_INPUT = 3
    #: The root finder stopped at its iteration limit.
    NO_CONVERGENCE = 4
    #: The price does not move with volatility: the model's prices at half
    #: and at twice the root both equal it to within a few units of the last
    #: place, so it carries no volatility.
    NO_VOLATILITY_INFO = 5

    @property
    def reason(self) -> str:
        return _REASONS[self]


_REASONS = {
    IVStatus.SOLVED: "solved",
    IVStatus.NO_TIME_VALUE: "the price has no time value (it is at or below the exercise "
                            "value, or below the model's lowest price)",
    IVStatus.ABOVE_MAXIMUM: "the price is above the model's maximum",
    IVStatus.INVALID_INPUT: "an input is invalid (NaN or infinite, a spot, strike, time, "
                            "discount factor or forward that is not positive, or a negative "
                            "price)",
    IVStatus.NO_CONVERGENCE: "the root finder did not converge",
    IVStatus.NO_VOLATILITY_INFO: "the price does not move with volatility, so it carries none",
}


class ImpliedVolError(ValueError):
    """Raised by ``implied_vol(..., errors='raise')`` at the first option
    without a volatility; ``position`` is its index in the broadcast inputs
    (``None`` for a single option) and ``status`` the reason."""

    def __init__(self, message: str, position: tuple[int, ...] | None, status: IVStatus):
        super().__init__(message)
        self.position = position
        self.status = status


class Greeks(NamedTuple):
    """The sensitivities of the American price.

    delta and gamma are per unit of spot (the forward moving with the spot),
    vega per 1.00 of volatility, theta per year of calendar time (minus the
    derivative in ``T``), rho per 1.00 of rate with the dividend yield held.
    """

    delta: Any
    gamma: Any
    vega: Any
    theta: Any
    rho: Any


def _sections(**sections: str) -> Callable[[_F], _F]:
    """Puts the docstring sections and parameters that several functions
    share in place of their ``{name}`` lines (at the line's indentation)."""
    def apply(func: _F) -> _F:
        # Dedented first: Python 3.13 and later already store docstrings so.
        doc = inspect.cleandoc(func.__doc__ or "")
        for name, text in sections.items():
            doc = doc.replace(f"{{{name}}}\n", textwrap.dedent(text).lstrip("\n"))
        func.__doc__ = doc
        return func
    return apply


_METHOD_PARAMETER = """
    method : {'exact', 'fast'}, optional
        ``'exact'`` (default): the bracketing solver, bit for bit that of
        :func:`vornet.baw_implied_vol` except where the price is not
        monotone near zero volatility or does not move with it (see
        :func:`implied_vol`). ``'fast'``: Newton's method with the analytic
        vega, several times faster, with the same statuses and values within
        2e-9 of the exact solver's in total standard deviation.
"""

_IMPLIED_VOL_SECTIONS = """    Returns
    -------
    vol : float, ndarray or Series
        The annualised implied volatility; NaN where there is none.
    status : IVStatus, ndarray of int8 or Series
        Only with ``full_output=True``: per option, an :class:`IVStatus`
        code saying why there is no volatility (``IVStatus.SOLVED``, 0,
        where there is one).

    Raises
    ------
    ImpliedVolError
        With ``errors='raise'``, at the first option (in C order) without
        a volatility, naming its position and the reason.

"""

_GREEKS_SECTIONS = """    Returns
    -------
    Greeks
        A named tuple ``(delta, gamma, vega, theta, rho)`` of floats, arrays
        or Series: delta and gamma per unit of spot, vega per 1.00 of
        volatility, theta per year (the change of the price as calendar time
        passes, ``-dP/dT``), rho per 1.00 of rate with the dividend yield
        held. NaN where an input is invalid or ``vol`` is not positive.

    Notes
    -----
    delta and gamma are the derivatives of the approximation's formula (the
    critical spot does not depend on the spot); vega, theta and rho move the
    critical spot too and are five-point differences of the exact price,
    accurate to about 1e-9 relative away from the critical spot.

"""


# ---------------------------------------------------------------------------
# Options


def check_method(method: object) -> None:
    """Raises ValueError unless `method` is one of :data:`METHODS`."""
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be {' or '.join(map(repr, METHODS))}, got {method!r}")


def resolve_workers(workers: int) -> int:
    """The threads `workers` stands for, by the engine's rule: a positive
    count as it is, -1 every core this process may use, -k all but k - 1
    (at most ``vornet._engine.max_workers``). Raises ValueError (TypeError
    for a value that is not an integer)."""
    return int(_engine.resolve_workers(workers))


# ---------------------------------------------------------------------------
# Inputs

_SIDES = {"c": True, "call": True, "p": False, "put": False}
_NUMBER_TYPES = (float, int)


def _side(kind: str) -> bool | None:
    """True for a call, False for a put, None for anything else."""
    side = _SIDES.get(kind)
    if side is None:
        side = _SIDES.get(kind.lower())
    return side


def _kind_error(value: object, position: tuple[int, ...] | None = None) -> ValueError:
    where = "" if position is None else f" at position {position}"
    return ValueError(f"kind must be 'c', 'p', 'call' or 'put' (in any case), "
                      f"got {value!r}{where}")


def _sides(kind: Any) -> np.ndarray:
    """The sides of `kind` as a bool array (True for a call); a masked
    element is read as a call (its option is made invalid elsewhere)."""
    if isinstance(kind, str):
        side = _side(kind)
        if side is None:
            raise _kind_error(kind)
        return np.array(side)
    _refuse_frame("kind", kind)
    if np.ma.isMaskedArray(kind):
        kind = np.ma.filled(kind.astype(object), "c")
    values = kind.to_numpy() if _is_series(kind) else np.asarray(kind)
    if values.dtype.kind == "S":
        values = np.char.decode(values, "ascii", errors="replace")
    # Most chains spell their sides one way; comparing is cheaper than
    # lowering every string (or, in an object array, checking its type).
    # NumPy's variable-width strings (kind "T") compare and lower alike.
    if values.dtype.kind in "UOT":
        for call, put in (("c", "p"), ("C", "P")):
            try:
                calls = np.asarray(values == call, dtype=bool)
                puts = np.asarray(values == put, dtype=bool)
            except TypeError:  # a missing value (pandas' NA) has no truth
                break
            if (calls | puts).all():
                return calls
    if values.dtype.kind == "T":
        # A variable-width string array may hold missing values: named below.
        values = values.astype(object)
    if values.dtype.kind == "O":
        # Strings among other objects: anything that is not a string is wrong.
        flat = values.reshape(-1)
        for i, item in enumerate(flat):
            if not isinstance(item, str):
                raise _kind_error(item, _position(i, values.shape))
        values = values.astype(str)
    if values.dtype.kind != "U":
        raise TypeError(f"kind must be strings, not an array of {values.dtype}")
    lower = np.strings.lower(values)
    calls = (lower == "c") | (lower == "call")
    valid = calls | (lower == "p") | (lower == "put")
    if not valid.all():
        first = int(np.flatnonzero(~valid.reshape(-1))[0])
        raise _kind_error(str(values.reshape(-1)[first]), _position(first, values.shape))
    return calls


def _position(flat_index: int, shape: tuple[int, ...]) -> tuple[int, ...] | None:
    """The index in an array of `shape` of its element `flat_index` in C
    order; None for a single value."""
    if shape == ():
        return None
    return tuple(int(i) for i in np.unravel_index(flat_index, shape))


def _is_series(value: object) -> bool:
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(value, pandas.Series)


def _refuse_frame(name: str, value: object) -> None:
    """A DataFrame would broadcast as a 2-D array (one column against a
    Series of its rows: every row with every other): refused."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.DataFrame):
        raise TypeError(f"{name}: must be one column (a Series), not a DataFrame")


def _masked(value: Any) -> np.ndarray | None:
    """Where a masked array is masked (None when nothing is)."""
    if np.ma.isMaskedArray(value) and np.ma.getmask(value) is not np.ma.nomask:
        return np.ma.getmaskarray(value)
    return None


def _as_float_array(name: str, value: Any) -> np.ndarray:
    """`value` as float64, read-only to us: NumPy converts the dtype and
    byte order, and a Series gives its values (missing ones as NaN), a
    masked array its data with NaN where it is masked. Conversion errors
    name the argument."""
    _refuse_frame(name, value)
    try:
        if _is_series(value):
            return value.to_numpy(dtype=np.float64, na_value=np.nan)
        array = np.asarray(value)
        if array.dtype.kind == "c":
            raise TypeError(f"must be real, not {array.dtype}")
        if array.dtype.kind in "mMUSV":
            raise TypeError(f"must be numbers, not {array.dtype}")
        mask = _masked(value)
        if mask is not None:
            return np.where(mask, np.nan, array.astype(np.float64))
        return array.astype(np.float64, copy=False)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: {error}") from error


class _Inputs:
    """Arguments broadcast to one shape and flattened for the engine, with
    what it takes to give the results the callers' form back."""

    def __init__(self, names: tuple[str, ...], values: tuple[Any, ...], kind: Any):
        series = [v for v in (*values, kind) if _is_series(v)]
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
        arrays = [_as_float_array(n, v) for n, v in zip(names, values)]
        sides = _sides(kind)
        try:
            self.shape = np.broadcast_shapes(*(a.shape for a in arrays), sides.shape)
        except ValueError:
            shapes = ", ".join(f"{n} {a.shape}" for n, a in zip(names, arrays))
            raise ValueError(f"inputs could not be broadcast together: {shapes}, "
                             f"kind {sides.shape}") from None
        if self.index is not None and self.shape != (len(self.index),):
            self._refuse_series_broadcast(len(self.index), (*names, "kind"), (*values, kind),
                                          (*(a.shape for a in arrays), sides.shape))
        # A masked side makes its option invalid: its first input is NaN.
        masked_kind = _masked(kind)
        if masked_kind is not None:
            arrays[0] = np.where(masked_kind, np.nan, arrays[0])
        # Broadcasting makes views (a scalar becomes a zero stride); only an
        # input of more than one dimension may need a copy to flatten.
        self.flat = [np.broadcast_to(a, self.shape).reshape(-1) for a in arrays]
        self.sides = np.broadcast_to(sides, self.shape).reshape(-1)
        self.scalar = self.index is None and self.shape == ()

    def _refuse_series_broadcast(self, count: int, names: tuple[str, ...],
                                 values: tuple[Any, ...],
                                 shapes: tuple[tuple[int, ...], ...]) -> None:
        """A result on the Series' index (of `count` rows) needs the inputs
        to broadcast to one value per row: refused, naming the Series and
        the inputs that make the shape other."""
        series = [n for n, v in zip(names, values) if _is_series(v)]
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


def _scalar_side(values: tuple[Any, ...], kind: Any) -> bool | None:
    """The side, when every input is a Python number and kind one string:
    then the engine computes the option directly."""
    if type(kind) is not str:
        return None
    for value in values:
        if type(value) not in _NUMBER_TYPES:
            return None
    return _side(kind)


# ---------------------------------------------------------------------------
# Price


def _price(kernel: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
           kind: Any, workers: int) -> Any:
    side = _scalar_side(values, kind)
    if side is not None:
        return kernel(*values, side, workers)
    inputs = _Inputs(names, values, kind)
    return inputs.wrap(kernel(*inputs.flat, inputs.sides, workers))


def price(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
          vol: ArrayLike, kind: KindLike = "c", *, workers: int = 1) -> Any:
    """American option price by the Barone-Adesi-Whaley approximation.

    Parameters
    ----------
    S, K : array_like
        Spot and strike.
    T : array_like
        Time to expiry in years.
    r, q : array_like
        Continuously compounded interest rate and dividend yield (or cost of
        holding the underlying), per year.
    vol : array_like
        Annualised volatility; 0 gives the value without volatility.
    kind : str or array_like of str, optional
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case. Default ``'c'``.
    workers : int, optional
        Native threads for the loop: 1 (default), -1 for every core.

    Returns
    -------
    float, ndarray or Series
        The price; NaN where an input is invalid.

    Examples
    --------
    >>> import vornet
    >>> round(vornet.price(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'put'), 6)
    6.672215
    >>> vornet.price(100.0, [90, 100, 110], 0.5, 0.05, 0.0, 0.25, ['c', 'p', 'P']).round(4)
    array([14.4371,  6.0147, 12.0556])
    """
    values = (S, K, T, r, q, vol)
    return _price(_engine.price_rates, ("S", "K", "T", "r", "q", "vol"), values, kind, workers)


def price_at_forward(S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
                     forward: ArrayLike, vol: ArrayLike, kind: KindLike = "c", *,
                     workers: int = 1) -> Any:
    """American option price from the discount factor and forward.

    For users who have them (from a curve, or from
    :func:`vornet.find_forward_baw`): ``discount = exp(-r T)`` and
    ``forward = S exp((r - q) T)``. Otherwise as :func:`price`.

    Parameters
    ----------
    S, K : array_like
        Spot and strike.
    T : array_like
        Time to expiry in years.
    discount, forward : array_like
        Discount factor to expiry and forward price of the underlying.
    vol : array_like
        Annualised volatility.
    kind : str or array_like of str, optional
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case. Default ``'c'``.
    workers : int, optional
        Native threads for the loop: 1 (default), -1 for every core.

    Returns
    -------
    float, ndarray or Series
        The price; NaN where an input is invalid.

    Examples
    --------
    >>> import math, vornet
    >>> D, F = math.exp(-0.05), 100.0 * math.exp(0.03)
    >>> round(vornet.price_at_forward(100.0, 100.0, 1.0, D, F, 0.2, 'put'), 6)
    6.672215
    """
    values = (S, K, T, discount, forward, vol)
    names = ("S", "K", "T", "discount", "forward", "vol")
    return _price(_engine.price_forward, names, values, kind, workers)


# ---------------------------------------------------------------------------
# Implied volatility


def _first_failure(status: np.ndarray) -> int | None:
    failed = np.flatnonzero(status.reshape(-1) != IVStatus.SOLVED)
    return int(failed[0]) if failed.size else None


def _raise_failure(status: IVStatus, position: tuple[int, ...] | None, label: Any = None):
    where = "the option" if position is None else f"the option at position {position}"
    if label is not None:
        where += f" (index {label!r})"
    raise ImpliedVolError(f"no implied volatility for {where}: {status.reason}", position,
                          status)


def _implied_vol(kernel: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
                 kind: Any, full_output: bool, errors: str, workers: int, method: Method) -> Any:
    if errors not in ("ignore", "raise"):
        raise ValueError(f"errors must be 'ignore' or 'raise', got {errors!r}")
    check_method(method)
    side = _scalar_side(values, kind)
    if side is not None:
        vol, code = kernel(*values, side, workers, method=method)
        status = IVStatus(code)
        if errors == "raise" and status is not IVStatus.SOLVED:
            _raise_failure(status, None)
        return (vol, status) if full_output else vol

    inputs = _Inputs(names, values, kind)
    vol, status = kernel(*inputs.flat, inputs.sides, workers, method=method)
    if errors == "raise":
        first = _first_failure(status)
        if first is not None:
            position = _position(first, inputs.shape)
            label = None
            if inputs.index is not None:
                label = inputs.index[first]
            _raise_failure(IVStatus(int(status[first])), position, label)
    if not full_output:
        return inputs.wrap(vol)
    if inputs.scalar:
        return vol.item(), IVStatus(int(status[0]))
    wrapped_status = inputs.wrap(status)
    if inputs.index is not None:
        wrapped_status.name = "status"
    return inputs.wrap(vol), wrapped_status




@_sections(method_parameter=_METHOD_PARAMETER, implied_vol_sections=_IMPLIED_VOL_SECTIONS)
def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                q: ArrayLike, kind: KindLike = "c", *, full_output: bool = False,
                errors: str = "ignore", workers: int = 1, method: Method = "exact") -> Any:
    """Annualised volatility at which the American price equals `price`.

    The inversion brackets the total standard deviation from 1e-8 upwards
    (doubling from 1 while the model price is short of the target, up to 8)
    and solves by Brent's method to 1e-10. Prices at or below the exercise
    value have no volatility. Near zero volatility the approximation's price
    is not monotone: for a price more than 1e-10 above the model's floor
    (its price without volatility) that the bracket finds without time
    value, or solves at a root where the price runs the wrong way (or below
    1e-6 in total deviation, unconfirmed), the root is sought on the
    monotone branch, coming down from the top of the bracket. A price that
    does not move with volatility around its root (the model's prices at
    half and at twice the root equal it to four units of its last place)
    has none: ``IVStatus.NO_VOLATILITY_INFO``.

    Parameters
    ----------
    price : array_like
        Option prices.
    S, K, T, r, q : array_like
        As in :func:`price`.
    kind : str or array_like of str, optional
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case. Default ``'c'``.
    full_output : bool, optional
        Also return a status per option.
    errors : {'ignore', 'raise'}, optional
        ``'ignore'`` (default) returns NaN where there is no volatility, like
        NumPy; ``'raise'`` raises :class:`ImpliedVolError` instead.
    workers : int, optional
        Native threads for the loop: 1 (default), -1 for every core.
    {method_parameter}

    {implied_vol_sections}
    Examples
    --------
    >>> import vornet
    >>> round(vornet.implied_vol(6.672215293259992, 100.0, 100.0, 1.0, 0.05, 0.02, 'p'), 8)
    0.2
    >>> vol, status = vornet.implied_vol([1.0, 0.3, 120.0, float('nan')], 100.0, 100.5, 1.0,
    ...                                  0.05, 0.0, 'p', full_output=True)
    >>> vol.round(6)
    array([0.049497,      nan,      nan,      nan])
    >>> [vornet.IVStatus(s).name for s in status]
    ['SOLVED', 'NO_TIME_VALUE', 'ABOVE_MAXIMUM', 'INVALID_INPUT']
    >>> round(vornet.implied_vol(6.672215293259992, 100.0, 100.0, 1.0, 0.05, 0.02, 'p',
    ...                          method='fast'), 8)
    0.2
    """
    values = (price, S, K, T, r, q)
    names = ("price", "S", "K", "T", "r", "q")
    return _implied_vol(_engine.implied_vol_rates, names, values, kind, full_output, errors,
                        workers, method)


@_sections(method_parameter=_METHOD_PARAMETER, implied_vol_sections=_IMPLIED_VOL_SECTIONS)
def implied_vol_at_forward(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike,
                           discount: ArrayLike, forward: ArrayLike, kind: KindLike = "c", *,
                           full_output: bool = False, errors: str = "ignore",
                           workers: int = 1, method: Method = "exact") -> Any:
    """Annualised implied volatility from the discount factor and forward.

    The total standard deviation solved is exactly that of
    :func:`vornet.baw_implied_vol` at the same ``discount`` and ``forward``,
    except in the cases :func:`implied_vol` names; the result is it divided
    by ``sqrt(T)``.

    Parameters
    ----------
    price : array_like
        Option prices.
    S, K, T, discount, forward : array_like
        As in :func:`price_at_forward`.
    kind : str or array_like of str, optional
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case. Default ``'c'``.
    full_output : bool, optional
        Also return a status per option.
    errors : {'ignore', 'raise'}, optional
        ``'ignore'`` (default) returns NaN where there is no volatility;
        ``'raise'`` raises :class:`ImpliedVolError` instead.
    workers : int, optional
        Native threads for the loop: 1 (default), -1 for every core.
    {method_parameter}

    {implied_vol_sections}
    Examples
    --------
    >>> import math, vornet
    >>> D, F = math.exp(-0.05), 100.0 * math.exp(0.03)
    >>> round(vornet.implied_vol_at_forward(6.672215293259992, 100.0, 100.0, 1.0, D, F, 'p'), 8)
    0.2
    """
    values = (price, S, K, T, discount, forward)
    names = ("price", "S", "K", "T", "discount", "forward")
    return _implied_vol(_engine.implied_vol_forward, names, values, kind, full_output, errors,
                        workers, method)


# ---------------------------------------------------------------------------
# Greeks


def _greeks(kernel: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
            kind: Any, workers: int) -> Greeks:
    side = _scalar_side(values, kind)
    if side is not None:
        return Greeks(*kernel(*values, side, workers))
    inputs = _Inputs(names, values, kind)
    results = kernel(*inputs.flat, inputs.sides, workers)
    wrapped = [inputs.wrap(result) for result in results]
    if inputs.index is not None:
        for field, series in zip(Greeks._fields, wrapped):
            series.name = field
    return Greeks(*wrapped)


@_sections(greeks_sections=_GREEKS_SECTIONS)
def greeks(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
           vol: ArrayLike, kind: KindLike = "c", *, workers: int = 1) -> Greeks:
    """Sensitivities of the American price in market terms.

    Parameters
    ----------
    S, K, T, r, q, vol, kind, workers
        As in :func:`price`.

    {greeks_sections}
    Examples
    --------
    >>> import vornet
    >>> g = vornet.greeks(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'put')
    >>> [round(x, 4) for x in g]
    [-0.4187, 0.0211, 38.0959, -2.7326, -33.7671]
    """
    values = (S, K, T, r, q, vol)
    return _greeks(_engine.greeks_rates, ("S", "K", "T", "r", "q", "vol"), values, kind, workers)


@_sections(greeks_sections=_GREEKS_SECTIONS)
def greeks_at_forward(S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
                      forward: ArrayLike, vol: ArrayLike, kind: KindLike = "c", *,
                      workers: int = 1) -> Greeks:
    """Sensitivities of the American price from the discount factor and forward.

    They are those of :func:`greeks` at the rates that give ``discount`` and
    ``forward``: ``r = -log(discount) / T``, ``q = r - log(forward / S) / T``.

    Parameters
    ----------
    S, K, T, discount, forward, vol, kind, workers
        As in :func:`price_at_forward`.

    {greeks_sections}
    Examples
    --------
    >>> import math, vornet
    >>> D, F = math.exp(-0.05), 100.0 * math.exp(0.03)
    >>> round(vornet.greeks_at_forward(100.0, 100.0, 1.0, D, F, 0.2, 'put').delta, 4)
    -0.4187
    """
    values = (S, K, T, discount, forward, vol)
    names = ("S", "K", "T", "discount", "forward", "vol")
    return _greeks(_engine.greeks_forward, names, values, kind, workers)
