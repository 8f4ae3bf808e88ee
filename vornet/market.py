"""American and European options in market terms, over NumPy arrays and
pandas Series.

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

``exercise`` is ``"american"`` (the default: the Barone-Adesi-Whaley
approximation) or ``"european"`` (Black-76 on the forward), in any case, or
``"A"``/``"E"``, alone or one per option; it broadcasts like ``kind``.

``model`` is ``"baw"`` (the default: the approximation) or ``"integral"``
(the exercise boundary solved, within 1e-8 plus 1e-7 of the exact price, at
some hundred times the cost; NaN and ``IVStatus.UNSUPPORTED`` for a put with
``q < r < 0`` or a call with ``r < q < 0``), for American options only.

``workers`` splits the loop over native threads, as in SciPy: 1 by default,
-1 for every core this process may use. The results do not depend on it.
"""

from __future__ import annotations

import enum
import inspect
import textwrap
from collections.abc import Callable
from typing import Any, Generic, Literal, NamedTuple, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

from vornet import _engine
from vornet.arguments import (AMERICAN, BAW, Inputs, check_model, model_options, position,
                              scalar_exercise, scalar_side)
from vornet.defaults import METHODS, MODELS  # noqa: F401 (MODELS is public here)

__all__ = [
    "price",
    "price_at_forward",
    "implied_vol",
    "implied_vol_at_forward",
    "greeks",
    "greeks_at_forward",
    "solve_at_forward",
    "Greeks",
    "IVStatus",
    "ImpliedVolError",
    "METHODS",
    "MODELS",
    "check_method",
    "check_model",
    "resolve_workers",
]

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")

#: What the functions accept for a number: a scalar, a sequence, an array of
#: any real dtype, or a pandas Series.
ArrayLike: TypeAlias = "npt.ArrayLike"
#: An option's side: 'c', 'call', 'p' or 'put' in any case, or an array of them.
KindLike: TypeAlias = "str | npt.ArrayLike"
Method: TypeAlias = Literal["exact", "fast"]
Model: TypeAlias = Literal["baw", "integral"]
Errors: TypeAlias = Literal["ignore", "raise"]
#: An option's exercise: 'american' or 'european' ('a' or 'e'), in any case,
#: or an array of them.
ExerciseLike: TypeAlias = "Literal['american', 'european'] | npt.ArrayLike"


class IVStatus(enum.IntEnum):
    """Why :func:`implied_vol` did or did not find a volatility."""

    #: A volatility reproduces the price.
    SOLVED = 0
    #: The price is at or below the exercise value, or below the lowest price
    #: the model gives (with carry, the discounted intrinsic value on the
    #: forward), so no volatility is worth it; for a European option, at or
    #: below the discounted intrinsic value on the forward.
    NO_TIME_VALUE = 1
    #: The price is above the model's price at a total standard deviation of
    #: 8; for a European option, at or above the discounted forward (a call)
    #: or strike (a put), which no volatility reaches.
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
    #: The integral model does not price the option (two exercise boundaries).
    UNSUPPORTED = 6

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
    IVStatus.UNSUPPORTED: "the model does not price it (two exercise boundaries)",
}


class ImpliedVolError(ValueError):
    """Raised by ``implied_vol(..., errors='raise')`` at the first option
    without a volatility; ``position`` is its index in the broadcast inputs
    (``None`` for a single option) and ``status`` the reason."""

    def __init__(self, message: str, position: tuple[int, ...] | None, status: IVStatus):
        super().__init__(message)
        self.position = position
        self.status = status


class Greeks(NamedTuple, Generic[_T]):
    """The sensitivities of the price: floats, arrays or Series.

    delta and gamma are per unit of spot (the forward moving with the spot),
    vega per 1.00 of volatility, theta per year of calendar time (minus the
    derivative in ``T``), rho per 1.00 of rate with the dividend yield held.
    """

    delta: _T
    gamma: _T
    vega: _T
    theta: _T
    rho: _T


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
    For American options delta and gamma are the derivatives of the
    approximation's formula (the critical spot does not depend on the spot);
    vega, theta and rho move the critical spot too and are five-point
    differences of the exact price, accurate to about 1e-9 relative away
    from the critical spot. With ``model='integral'`` all five are exact for
    its price as computed (vega, theta and rho by forward-mode
    differentiation). For European options all five are Black-76's.

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
# Price

_EXERCISE_PARAMETER = """
    exercise : str or array_like of str, optional
        ``'american'`` (default: the model that ``model`` names) or
        ``'european'`` (Black-76 on the forward), in any case, or ``'a'`` /
        ``'e'``; alone or one per option, broadcast like ``kind``.
    model : {'baw', 'integral'}, optional
        The American model: ``'baw'`` (default), the approximation, or
        ``'integral'``, the exercise boundary solved (see the module's
        notes); NaN for the two-boundary cases it does not price.
"""


def _kernel_call(kernel: Callable[..., Any], inputs: Inputs, workers: int,
                 **options: Any) -> Any:
    """The engine over the broadcast inputs; the exercise flags only where
    some option is European."""
    if inputs.european is not None:
        options["european"] = inputs.european
    return kernel(*inputs.flat, inputs.sides, workers, **options)


def _price(kernel: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
           kind: Any, exercise: Any, workers: int, model: Any = BAW) -> Any:
    options = {} if model is BAW else model_options(model)
    side = scalar_side(values, kind)
    if side is not None:
        # The default (the same string object) needs no look-up.
        european = False if exercise is AMERICAN else scalar_exercise(exercise)
        if european is False:
            return kernel(*values, side, workers, **options)
        if european:
            return kernel(*values, side, workers, european=True, **options)
    inputs = Inputs(names, values, kind, exercise)
    return inputs.wrap(_kernel_call(kernel, inputs, workers, **options))


@_sections(exercise_parameter=_EXERCISE_PARAMETER)
def price(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
          vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = "american",
          workers: int = 1, model: Model = "baw") -> Any:
    """Option price: American (by `model`) or European.

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
    kind : str or array_like of str
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case.
    {exercise_parameter}
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
    >>> round(vornet.price(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'put', exercise='european'), 6)
    6.330081
    >>> round(vornet.price(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'put', model='integral'), 6)
    6.660686
    """
    return _price(_engine.price_rates, ("S", "K", "T", "r", "q", "vol"), (S, K, T, r, q, vol),
                  kind, exercise, workers, model)


@_sections(exercise_parameter=_EXERCISE_PARAMETER)
def price_at_forward(S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
                     forward: ArrayLike, vol: ArrayLike, kind: KindLike, *,
                     exercise: ExerciseLike = "american", workers: int = 1,
                     model: Model = "baw") -> Any:
    """Option price from the discount factor and forward.

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
    kind : str or array_like of str
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case.
    {exercise_parameter}
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
    names = ("S", "K", "T", "discount", "forward", "vol")
    return _price(_engine.price_forward, names, (S, K, T, discount, forward, vol), kind,
                  exercise, workers, model)


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


def _check_errors(errors: object) -> None:
    if errors not in ("ignore", "raise"):
        raise ValueError(f"errors must be 'ignore' or 'raise', got {errors!r}")


def _implied_vol(kernel: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
                 kind: Any, exercise: Any, full_output: bool, errors: str, workers: int,
                 method: Method, model: Any = BAW) -> Any:
    _check_errors(errors)
    check_method(method)
    options = model_options(model)
    side = scalar_side(values, kind)
    european = scalar_exercise(exercise) if side is not None else None
    if european is not None:
        if european:
            vol, code = kernel(*values, side, workers, method=method, european=True, **options)
        else:
            vol, code = kernel(*values, side, workers, method=method, **options)
        status = IVStatus(code)
        if errors == "raise" and status is not IVStatus.SOLVED:
            _raise_failure(status, None)
        return (vol, status) if full_output else vol

    inputs = Inputs(names, values, kind, exercise)
    vol, status = _kernel_call(kernel, inputs, workers, method=method, **options)
    if errors == "raise":
        first = _first_failure(status)
        if first is not None:
            label = None
            if inputs.index is not None:
                label = inputs.index[first]
            _raise_failure(IVStatus(int(status[first])), position(first, inputs.shape), label)
    if not full_output:
        return inputs.wrap(vol)
    return inputs.wrap(vol), _wrap_status(inputs, status)


def _wrap_status(inputs: Inputs, status: np.ndarray) -> Any:
    """The statuses in the callers' form: an IVStatus for one option."""
    if inputs.scalar:
        return IVStatus(int(status[0]))
    wrapped = inputs.wrap(status)
    if inputs.index is not None:
        wrapped.name = "status"
    return wrapped


_METHOD_PARAMETER = """
    method : {'exact', 'fast'}, optional
        For American options: ``'exact'`` (default), the bracketing solver,
        bit for bit that of :func:`vornet.baw_implied_vol` except where the
        price is not monotone near zero volatility or does not move with it
        (see :func:`implied_vol`); ``'fast'``, Newton's method with the
        analytic vega, several times faster, with the same statuses and
        values within 2e-9 of the exact solver's in total standard
        deviation. European options and the integral model have one.
"""

_EUROPEAN_INVERSION = """
    A European price is inverted on the forward (Black-76) by Householder's
    fourth-order method on the normalised price (its logarithm below the
    inflection point, the logarithm of its distance from its maximum far
    above it), from asymptotic first guesses and inside a bracket, to the
    last few units of the last place of the total standard deviation that
    the price allows. It has no volatility at or below the discounted
    intrinsic value on the forward (``NO_TIME_VALUE``) and none at or above
    the discounted forward for a call, the discounted strike for a put
    (``ABOVE_MAXIMUM``).
"""


@_sections(method_parameter=_METHOD_PARAMETER, implied_vol_sections=_IMPLIED_VOL_SECTIONS,
           exercise_parameter=_EXERCISE_PARAMETER, european_inversion=_EUROPEAN_INVERSION)
def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                q: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = "american",
                full_output: bool = False, errors: Errors = "ignore", workers: int = 1,
                method: Method = "exact", model: Model = "baw") -> Any:
    """Annualised volatility at which the model's price equals `price`.

    For American options the inversion brackets the total standard
    deviation from 1e-8 upwards (doubling from 1 while the model price is
    short of the target, up to 8) and solves by Brent's method to 1e-10.
    Prices at or below the exercise value have no volatility. Near zero
    volatility the approximation's price is not monotone: for a price more
    than 1e-10 above the model's floor (its price without volatility) that
    the bracket finds without time value, or solves at a root where the
    price runs the wrong way (or below 1e-6 in total deviation,
    unconfirmed), the root is sought on the monotone branch, coming down
    from the top of the bracket. A price that does not move with volatility
    around its root (the model's prices at half and at twice the root equal
    it to four units of its last place) has none:
    ``IVStatus.NO_VOLATILITY_INFO``.

    With ``model='integral'``: Newton's method on the model's own vega in a
    bracket, from the approximation's volatility, to 1e-11; none at or below
    its price without volatility, above its price at a total deviation of 8,
    where its price at half or twice the root is the price to within 1e-8
    plus 1e-7 of it (``NO_VOLATILITY_INFO``), or with two boundaries.
    {european_inversion}
    Parameters
    ----------
    price : array_like
        Option prices.
    S, K, T, r, q : array_like
        As in :func:`price`.
    kind : str or array_like of str
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case.
    {exercise_parameter}
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
    >>> p = vornet.price(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'p', exercise='european')
    >>> round(vornet.implied_vol(p, 100.0, 100.0, 1.0, 0.05, 0.02, 'p', exercise='european'), 12)
    0.2
    """
    values = (price, S, K, T, r, q)
    names = ("price", "S", "K", "T", "r", "q")
    return _implied_vol(_engine.implied_vol_rates, names, values, kind, exercise, full_output,
                        errors, workers, method, model)


@_sections(method_parameter=_METHOD_PARAMETER, implied_vol_sections=_IMPLIED_VOL_SECTIONS,
           exercise_parameter=_EXERCISE_PARAMETER)
def implied_vol_at_forward(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike,
                           discount: ArrayLike, forward: ArrayLike, kind: KindLike, *,
                           exercise: ExerciseLike = "american", full_output: bool = False,
                           errors: Errors = "ignore", workers: int = 1,
                           method: Method = "exact", model: Model = "baw") -> Any:
    """Annualised implied volatility from the discount factor and forward.

    For American options the total standard deviation solved is exactly
    that of :func:`vornet.baw_implied_vol` at the same ``discount`` and
    ``forward``, except in the cases :func:`implied_vol` names; the result
    is it divided by ``sqrt(T)``. European options as in
    :func:`implied_vol`.

    Parameters
    ----------
    price : array_like
        Option prices.
    S, K, T, discount, forward : array_like
        As in :func:`price_at_forward`.
    kind : str or array_like of str
        ``'c'``/``'call'`` or ``'p'``/``'put'``, in any case.
    {exercise_parameter}
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
    return _implied_vol(_engine.implied_vol_forward, names, values, kind, exercise, full_output,
                        errors, workers, method, model)


@_sections(method_parameter=_METHOD_PARAMETER, exercise_parameter=_EXERCISE_PARAMETER)
def solve_at_forward(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike,
                     discount: ArrayLike, forward: ArrayLike, kind: KindLike, *,
                     exercise: ExerciseLike = "american", method: Method = "exact",
                     workers: int = 1, model: Model = "baw") -> tuple[Any, Any, Any, Any]:
    """The implied volatility from the discount factor and forward, with
    delta and vega at that volatility, in one pass.

    ``vol`` and ``status`` are exactly those of
    ``implied_vol_at_forward(..., full_output=True)``. delta (per unit of
    spot, the forward moving with the spot) and vega (per 1.00 of
    volatility) are those of :func:`greeks_at_forward` at ``vol``, in closed
    form: for a European option Black-76's, for an American one the
    approximation's own delta and its analytic vega (the critical spot
    moving with the volatility), within about 1e-8 of the differences
    :func:`greeks_at_forward` takes (with ``method='fast'`` at the fast
    solver's critical spot, found to 1e-11, so that delta is within 1e-9 of
    :func:`greeks_at_forward`'s). The cost is that of the inversion and one
    more price. With ``model='integral'``, that model's own.

    Parameters
    ----------
    price, S, K, T, discount, forward, kind
        As in :func:`implied_vol_at_forward`.
    {exercise_parameter}
    {method_parameter}
    workers : int, optional
        Native threads for the loop: 1 (default), -1 for every core.

    Returns
    -------
    vol, status, delta, vega
        Floats (the status an :class:`IVStatus`), arrays (the status int8)
        or Series, as :func:`implied_vol_at_forward` gives them; delta and
        vega are NaN where the status is not ``SOLVED``.

    Examples
    --------
    >>> import math, vornet
    >>> D, F = math.exp(-0.05), 100.0 * math.exp(0.03)
    >>> vol, status, delta, vega = vornet.market.solve_at_forward(
    ...     6.672215293259992, 100.0, 100.0, 1.0, D, F, 'p')
    >>> round(vol, 8), status.name, round(delta, 4), round(vega, 2)
    (0.2, 'SOLVED', -0.4187, 38.1)
    """
    check_method(method)
    by_model = model_options(model)
    values = (price, S, K, T, discount, forward)
    names = ("price", "S", "K", "T", "discount", "forward")
    kernel = _engine.solve_forward
    side = scalar_side(values, kind)
    european = scalar_exercise(exercise) if side is not None else None
    if european is not None:
        options: dict[str, Any] = {"european": True} if european else {}
        vol, delta, vega, code = kernel(*values, side, workers, method=method, **options,
                                        **by_model)
        return vol, IVStatus(code), delta, vega
    inputs = Inputs(names, values, kind, exercise)
    vol, delta, vega, status = _kernel_call(kernel, inputs, workers, method=method,
                                            **by_model)
    wrapped = [inputs.wrap(vol), _wrap_status(inputs, status), inputs.wrap(delta),
               inputs.wrap(vega)]
    if inputs.index is not None:
        for field, series in zip(("vol", "status", "delta", "vega"), wrapped):
            series.name = field
    return wrapped[0], wrapped[1], wrapped[2], wrapped[3]


# ---------------------------------------------------------------------------
# Greeks


def _greeks(kernel: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
            kind: Any, exercise: Any, workers: int, model: Any = BAW) -> Greeks[Any]:
    options = model_options(model)
    side = scalar_side(values, kind)
    european = scalar_exercise(exercise) if side is not None else None
    if european is not None:
        if european:
            return Greeks(*kernel(*values, side, workers, european=True, **options))
        return Greeks(*kernel(*values, side, workers, **options))
    inputs = Inputs(names, values, kind, exercise)
    results = _kernel_call(kernel, inputs, workers, **options)
    wrapped = [inputs.wrap(result) for result in results]
    if inputs.index is not None:
        for field, series in zip(Greeks._fields, wrapped):
            series.name = field
    return Greeks(*wrapped)


@_sections(greeks_sections=_GREEKS_SECTIONS, exercise_parameter=_EXERCISE_PARAMETER)
def greeks(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
           vol: ArrayLike, kind: KindLike, *, exercise: ExerciseLike = "american",
           workers: int = 1, model: Model = "baw") -> Greeks[Any]:
    """Sensitivities of the price in market terms.

    Parameters
    ----------
    S, K, T, r, q, vol, kind, workers
        As in :func:`price`.
    {exercise_parameter}

    {greeks_sections}
    Examples
    --------
    >>> import vornet
    >>> g = vornet.greeks(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'put')
    >>> [round(x, 4) for x in g]
    [-0.4187, 0.0211, 38.0959, -2.7326, -33.7671]
    >>> g = vornet.greeks(100.0, 100.0, 1.0, 0.05, 0.02, 0.2, 'put', exercise='european')
    >>> [round(x, 4) for x in g]
    [-0.3933, 0.019, 37.9012, -2.2936, -45.6648]
    """
    return _greeks(_engine.greeks_rates, ("S", "K", "T", "r", "q", "vol"), (S, K, T, r, q, vol),
                   kind, exercise, workers, model)


@_sections(greeks_sections=_GREEKS_SECTIONS, exercise_parameter=_EXERCISE_PARAMETER)
def greeks_at_forward(S: ArrayLike, K: ArrayLike, T: ArrayLike, discount: ArrayLike,
                      forward: ArrayLike, vol: ArrayLike, kind: KindLike, *,
                      exercise: ExerciseLike = "american", workers: int = 1,
                      model: Model = "baw") -> Greeks[Any]:
    """Sensitivities of the price from the discount factor and forward.

    They are those of :func:`greeks` at the rates that give ``discount`` and
    ``forward``: ``r = -log(discount) / T``, ``q = r - log(forward / S) / T``.

    Parameters
    ----------
    S, K, T, discount, forward, vol, kind, workers
        As in :func:`price_at_forward`.
    {exercise_parameter}

    {greeks_sections}
    Examples
    --------
    >>> import math, vornet
    >>> D, F = math.exp(-0.05), 100.0 * math.exp(0.03)
    >>> round(vornet.greeks_at_forward(100.0, 100.0, 1.0, D, F, 0.2, 'put').delta, 4)
    -0.4187
    """
    names = ("S", "K", "T", "discount", "forward", "vol")
    return _greeks(_engine.greeks_forward, names, (S, K, T, discount, forward, vol), kind,
                   exercise, workers, model)
