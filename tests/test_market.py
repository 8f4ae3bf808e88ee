"""The market-terms functions: inputs of every form, broadcasting, sides,
bad elements, statuses, and agreement with the core."""

import importlib.util
import math

import numpy as np
import pytest

import vornet
from vornet import IVStatus

pd = pytest.importorskip("pandas")

OPTION = dict(S=100.0, K=95.0, T=0.5, r=0.03, q=0.01, vol=0.25)


def model_terms(S, K, T, r, q, vol):
    return (S, K, math.exp(-r * T), S * math.exp((r - q) * T), vol * math.sqrt(T))


def random_market(n, seed):
    rng = np.random.default_rng(seed)
    return dict(S=rng.uniform(50, 150, n), K=rng.uniform(50, 150, n),
                T=rng.choice([7 / 365, 0.25, 1.0, 3.0], n), r=rng.uniform(-0.01, 0.08, n),
                q=rng.uniform(0.0, 0.06, n), vol=rng.uniform(0.05, 0.9, n)), \
        np.where(rng.random(n) < 0.5, "c", "p")


def test_prices_are_the_cores_at_the_model_terms():
    inputs, kinds = random_market(300, 1)
    prices = vornet.price(**inputs, kind=kinds)
    for i, kind in enumerate(kinds):
        one = {k: float(v[i]) for k, v in inputs.items()}
        want = vornet.baw_price(*model_terms(**one), kind)
        assert prices[i] == want
        assert vornet.price(**one, kind=kind) == want
        D, F = math.exp(-one["r"] * one["T"]), one["S"] * math.exp((one["r"] - one["q"]) * one["T"])
        assert vornet.price_at_forward(one["S"], one["K"], one["T"], D, F, one["vol"], kind) == want


def test_implied_vol_inverts_the_price_and_is_the_cores_solution():
    inputs, kinds = random_market(300, 2)
    prices = vornet.price(**inputs, kind=kinds)
    args = {k: v for k, v in inputs.items() if k != "vol"}
    vol, status = vornet.implied_vol(prices, **args, kind=kinds, full_output=True)
    solved = status == IVStatus.SOLVED
    assert solved.mean() > 0.8
    # The solver stops within about 1e-10 of the total deviation; where the
    # price hardly moves with volatility, the volatility itself is loose.
    again = vornet.price(**dict(args, vol=vol), kind=kinds)
    np.testing.assert_allclose(again[solved], prices[solved], rtol=1e-9, atol=1e-9)
    sensitive = solved & (vornet.greeks(**inputs, kind=kinds).vega > 1.0)
    assert sensitive.sum() > 100
    np.testing.assert_allclose(vol[sensitive], inputs["vol"][sensitive], rtol=0, atol=1e-9)
    for i in np.flatnonzero(solved)[:50]:
        one = {k: float(v[i]) for k, v in args.items()}
        S, K, D, F, _ = model_terms(**one, vol=0.0)
        sigma = vornet.baw_implied_vol(float(prices[i]), S, K, D, F, kinds[i])
        assert vol[i] == sigma / math.sqrt(one["T"])
        assert vornet.implied_vol_at_forward(float(prices[i]), S, K, one["T"], D, F,
                                             kinds[i]) == vol[i]


@pytest.mark.parametrize("shapes, want", [
    (dict(S=(3,)), (3,)),
    (dict(S=(2, 1), K=(3,)), (2, 3)),
    (dict(K=(4,), vol=(2, 1, 1)), (2, 1, 4)),
    (dict(T=(1,), r=()), (1,)),
    (dict(), ()),
])
def test_broadcasting_gives_the_shape_and_each_element(shapes, want):
    rng = np.random.default_rng(3)
    inputs = {k: np.asarray(v) for k, v in OPTION.items()}
    for name, shape in shapes.items():
        inputs[name] = OPTION[name] * rng.uniform(0.8, 1.2, shape)
    result = vornet.price(**inputs, kind="p")
    if want == ():
        assert type(result) is float
    else:
        assert result.shape == want
    broadcast = np.broadcast_arrays(*inputs.values())
    for index in np.ndindex(want):
        one = [float(a[index]) for a in broadcast]
        assert np.asarray(result)[index] == vornet.price(*one, "p")


def test_shapes_that_do_not_broadcast_are_named():
    with pytest.raises(ValueError, match=r"S \(2,\), K \(3,\)"):
        vornet.price([100.0, 101.0], [90.0, 95.0, 100.0], 1.0, 0.0, 0.0, 0.2, "c")


def layouts(values):
    base = np.asarray(values, dtype=np.float64)
    read_only = base.copy()
    read_only.flags.writeable = False
    strided = np.empty(2 * base.size)
    strided[::2] = base
    return {
        "list": list(values),
        "tuple": tuple(values),
        "read-only": read_only,
        "strided": strided[::2],
        "reversed": base[::-1].copy()[::-1],
        "big-endian": base.astype(">f8"),
        "float32-exact": base.astype(np.float32),
        "int": base.astype(np.int64),
        "fortran-2d": np.asfortranarray(base.reshape(1, -1)),
    }


@pytest.mark.parametrize("layout", list(layouts([1.0])))
def test_every_input_form_gives_the_same_result_and_is_left_untouched(layout):
    strikes = [80.0, 95.0, 100.0, 120.0]  # exact in float32 and int
    form = layouts(strikes)[layout]
    before = np.array(form, copy=True)
    result = vornet.price(100.0, form, 0.5, 0.03, 0.01, 0.25, "p")
    want = vornet.price(100.0, np.array(strikes), 0.5, 0.03, 0.01, 0.25, "p")
    assert np.array_equal(np.asarray(result).reshape(-1), want)
    assert np.array_equal(np.asarray(form), before)


def test_series_round_trip_keeps_index_and_name():
    index = pd.Index(["x", "y", "z"], name="quote")
    strikes = pd.Series([90.0, 100.0, 110.0], index=index, name="quote_value")
    spot = pd.Series([100.0, 100.0, 100.0], index=index, name="quote_value")
    prices = vornet.price(spot, strikes, 0.5, 0.03, 0.01, 0.25, "c")
    assert isinstance(prices, pd.Series)
    assert prices.index.equals(index) and prices.name == "quote_value"
    assert np.array_equal(prices.to_numpy(), vornet.price(100.0, strikes.to_numpy(), 0.5, 0.03,
                                                          0.01, 0.25, "c"))
    vol, status = vornet.implied_vol(prices, spot, strikes, 0.5, 0.03, 0.01,
                                     pd.Series(["C", "call", "c"], index=index),
                                     full_output=True)
    assert vol.index.equals(index) and status.index.equals(index)
    np.testing.assert_allclose(vol.to_numpy(), 0.25, atol=1e-8)
    assert (status == IVStatus.SOLVED).all()


def test_series_with_missing_values_and_other_indexes():
    for missing in (pd.Series([100.0, None, 100.0], dtype="Float64"), [100.0, None, 100.0]):
        result = vornet.price(missing, 100.0, 1.0, 0.0, 0.0, 0.2, "c")
        assert np.isnan(result[1]) and np.isfinite(result[[0, 2]]).all()
    with pytest.raises(ValueError, match="share one index"):
        vornet.price(pd.Series([1.0, 2.0]), pd.Series([1.0, 2.0], index=[5, 6]), 1, 0, 0, 0.2,
                     "c")


@pytest.mark.parametrize("spelling, is_call", [
    ("c", True), ("C", True), ("call", True), ("CALL", True), ("Call", True), ("cAlL", True),
    ("p", False), ("P", False), ("put", False), ("PUT", False), ("Put", False),
])
def test_kind_spellings(spelling, is_call):
    call = vornet.price(**OPTION, kind="c")
    put = vornet.price(**OPTION, kind="p")
    want = call if is_call else put
    assert vornet.price(**OPTION, kind=spelling) == want
    for kinds in ([spelling, spelling], np.array([spelling] * 2), np.array([spelling] * 2, object),
                  pd.Series([spelling] * 2), np.array([spelling.encode()] * 2),
                  np.array([spelling] * 2, dtype=np.dtypes.StringDType()),
                  *(pd.Series([spelling] * 2, dtype=dtype) for dtype in string_dtypes())):
        assert vornet.price(**OPTION, kind=kinds).tolist() == [want, want]
    assert vornet.price(**OPTION, kind=np.array(spelling, dtype=np.dtypes.StringDType())) == want


def string_dtypes():
    """pandas' string dtypes: the default one and both storages (pyarrow's
    where it is installed), with NA or NaN for a missing value."""
    pyarrow = importlib.util.find_spec("pyarrow") is not None
    return ["string", *(["string[pyarrow]"] if pyarrow else []), "str",
            pd.StringDtype("python", na_value=np.nan)]


@pytest.mark.parametrize("dtype", [None, *string_dtypes()],
                         ids=lambda d: "StringDType" if d is None else str(d))
def test_a_missing_kind_in_a_string_array_is_named(dtype):
    kind = (np.array(["c", None], dtype=np.dtypes.StringDType(na_object=None)) if dtype is None
            else pd.Series(["c", None], dtype=dtype))
    with pytest.raises(ValueError, match=r"kind must be .* at position \(1,\)"):
        vornet.price(**OPTION, kind=kind)


@pytest.mark.parametrize("workers", [np.int64(2), np.int32(1), np.uint8(2), np.int64(-1)],
                         ids=lambda w: f"{type(w).__name__}({w})")
def test_numpy_integer_workers_everywhere(workers):
    one = {k: v for k, v in OPTION.items() if k != "vol"}
    D, F = math.exp(-0.03 * 0.5), 100.0 * math.exp(0.02 * 0.5)
    strikes = [90.0, 95.0]
    for scalar_or_array in (95.0, strikes):
        p = vornet.price(100.0, scalar_or_array, 0.5, 0.03, 0.01, 0.25, "p", workers=workers)
        assert np.array_equal(p, vornet.price(100.0, scalar_or_array, 0.5, 0.03, 0.01, 0.25, "p"))
        assert np.array_equal(
            vornet.price_at_forward(100.0, scalar_or_array, 0.5, D, F, 0.25, "p", workers=workers),
            vornet.price_at_forward(100.0, scalar_or_array, 0.5, D, F, 0.25, "p"))
        assert np.array_equal(vornet.implied_vol(p, **dict(one, K=scalar_or_array), kind="p",
                                                 workers=workers, method="fast"),
                              vornet.implied_vol(p, **dict(one, K=scalar_or_array), kind="p",
                                                 method="fast"))
        assert np.array_equal(
            vornet.implied_vol_at_forward(p, 100.0, scalar_or_array, 0.5, D, F, "p",
                                          workers=workers),
            vornet.implied_vol_at_forward(p, 100.0, scalar_or_array, 0.5, D, F, "p"))
        for got, want in zip(
                vornet.greeks(100.0, scalar_or_array, 0.5, 0.03, 0.01, 0.25, "p", workers=workers),
                vornet.greeks(100.0, scalar_or_array, 0.5, 0.03, 0.01, 0.25, "p")):
            assert np.array_equal(got, want)
        for got, want in zip(
                vornet.greeks_at_forward(100.0, scalar_or_array, 0.5, D, F, 0.25, "p",
                                         workers=workers),
                vornet.greeks_at_forward(100.0, scalar_or_array, 0.5, D, F, 0.25, "p")):
            assert np.array_equal(got, want)
    assert vornet.market.resolve_workers(workers) >= 1


@pytest.mark.parametrize("kind, shown", [
    ("x", "'x' "), ("calls", "'calls'"), ("", "''"), ("c ", "'c '"),
    (["c", "p", "q"], "'q' at position (2,)"),
    ([["c", "p"], ["p", "bad"]], "'bad' at position (1, 1)"),
    (np.array(["c", None], dtype=object), "None at position (1,)"),
    (np.array(["c", 1.5], dtype=object), "1.5 at position (1,)"),
])
def test_an_unknown_kind_is_named_with_its_position(kind, shown):
    with pytest.raises(ValueError) as info:
        vornet.price(100.0, [[90.0, 95.0], [100.0, 105.0]], 0.5, 0.03, 0.01, 0.25, kind)
    assert "kind must be 'c', 'p', 'call' or 'put'" in str(info.value)
    assert shown.rstrip() in str(info.value)


def test_kind_must_be_text():
    with pytest.raises(TypeError, match="kind must be strings"):
        vornet.price(**OPTION, kind=np.array([1, 0]))


@pytest.mark.parametrize("bad", [
    dict(S=0.0), dict(S=-5.0), dict(K=0.0), dict(T=0.0), dict(T=-1.0), dict(vol=-0.1),
    dict(S=np.nan), dict(K=np.inf), dict(r=np.nan), dict(q=-np.inf), dict(vol=np.nan),
])
def test_a_bad_element_is_nan_and_the_rest_is_computed(bad):
    inputs = {k: np.array([v, v, v]) for k, v in OPTION.items()}
    for name, value in bad.items():
        inputs[name][1] = value
    result = vornet.price(**inputs, kind="p")
    good = vornet.price(**OPTION, kind="p")
    assert result[0] == good and result[2] == good and np.isnan(result[1])
    assert math.isnan(vornet.price(**{k: float(v[1]) for k, v in inputs.items()}, kind="p"))


def test_zero_volatility_is_the_value_without_it():
    assert vornet.price(100.0, 110.0, 1.0, 0.05, 0.0, 0.0, "p") == 10.0
    assert vornet.price(100.0, 90.0, 1.0, 0.05, 0.0, 0.0, "p") == 0.0


@pytest.mark.parametrize("args, status", [
    (dict(price=8.0, S=100.0, K=95.0), IVStatus.SOLVED),
    (dict(price=4.0, S=100.0, K=96.0), IVStatus.NO_TIME_VALUE),      # below S - K
    (dict(price=0.0, S=100.0, K=150.0), IVStatus.NO_TIME_VALUE),
    (dict(price=150.0, S=100.0, K=95.0), IVStatus.ABOVE_MAXIMUM),    # above the spot
    (dict(price=-1.0, S=100.0, K=95.0), IVStatus.INVALID_INPUT),
    (dict(price=np.nan, S=100.0, K=95.0), IVStatus.INVALID_INPUT),
    (dict(price=8.0, S=0.0, K=95.0), IVStatus.INVALID_INPUT),
    (dict(price=8.0, S=100.0, K=95.0, T=0.0), IVStatus.INVALID_INPUT),
    (dict(price=8.0, S=100.0, K=95.0, r=np.inf), IVStatus.INVALID_INPUT),
])
def test_status_codes(args, status):
    call = dict(T=0.5, r=0.03, q=0.01, kind="c", full_output=True)
    call.update(args)
    vol, code = vornet.implied_vol(**call)
    assert code is status
    assert (code == IVStatus.SOLVED) == (not math.isnan(vol))
    vols, codes = vornet.implied_vol(**{k: [v] * 2 if k in ("price", "S", "K") else v
                                        for k, v in call.items()})
    assert codes.tolist() == [status] * 2 and codes.dtype == np.int8


def test_a_price_below_the_models_lowest_has_no_time_value():
    # Deep in the money with a high carry, the discounted forward intrinsic
    # value exceeds the exercise value: a price between the two has none.
    S, K, T, r, q = 100.0, 50.0, 1.0, 0.01, -0.2
    floor = vornet.price(S, K, T, r, q, 1e-9, "c")
    assert floor > S - K + 1.0
    vol, status = vornet.implied_vol((S - K + floor) / 2, S, K, T, r, q, "c", full_output=True)
    assert status is IVStatus.NO_TIME_VALUE and math.isnan(vol)


def test_errors_raise_names_the_first_failure():
    prices = np.array([[8.0, 8.0], [150.0, -1.0]])
    with pytest.raises(vornet.ImpliedVolError) as info:
        vornet.implied_vol(prices, 100.0, 95.0, 0.5, 0.03, 0.01, "c", errors="raise")
    assert info.value.position == (1, 0)
    assert info.value.status is IVStatus.ABOVE_MAXIMUM
    assert "position (1, 0)" in str(info.value) and "above the model's maximum" in str(info.value)
    assert isinstance(info.value, ValueError)

    with pytest.raises(vornet.ImpliedVolError, match="index 'b'") as info:
        vornet.implied_vol(pd.Series([8.0, np.nan], index=["a", "b"]), 100.0, 95.0, 0.5, 0.03,
                           0.01, "c", errors="raise")
    assert info.value.status is IVStatus.INVALID_INPUT

    with pytest.raises(vornet.ImpliedVolError, match="no time value") as info:
        vornet.implied_vol(1.0, 100.0, 95.0, 0.5, 0.03, 0.01, "c", errors="raise")
    assert info.value.position is None

    solved = vornet.implied_vol([8.0, 9.0], 100.0, 95.0, 0.5, 0.03, 0.01, "c", errors="raise")
    assert np.isfinite(solved).all()
    with pytest.raises(ValueError, match="errors must be 'ignore' or 'raise'"):
        vornet.implied_vol(8.0, 100.0, 95.0, 0.5, 0.03, 0.01, "c", errors="coerce")


@pytest.mark.parametrize("value, error", [
    ("abc", TypeError), (1 + 2j, TypeError), ([1.0, "2"], TypeError), ({}, TypeError),
])
def test_inputs_that_are_not_numbers_are_named(value, error):
    with pytest.raises(error, match="^K"):
        vornet.price(100.0, value, 1.0, 0.0, 0.0, 0.2, "c")


def test_workers_give_identical_results():
    inputs, kinds = random_market(3000, 4)
    prices = vornet.price(**inputs, kind=kinds)
    args = {k: v for k, v in inputs.items() if k != "vol"}
    results = [(vornet.price(**inputs, kind=kinds, workers=w),
                vornet.implied_vol(prices, **args, kind=kinds, workers=w, full_output=True),
                vornet.greeks(**inputs, kind=kinds, workers=w)) for w in (1, 2, -1, 7)]
    first = results[0]
    for other in results[1:]:
        assert np.array_equal(first[0], other[0])
        assert np.array_equal(first[1][0], other[1][0], equal_nan=True)
        assert np.array_equal(first[1][1], other[1][1])
        for a, b in zip(first[2], other[2]):
            assert np.array_equal(a, b, equal_nan=True)


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-1000, ValueError),
                                            (1.5, TypeError), ("2", TypeError)])
def test_bad_workers(workers, error):
    with pytest.raises(error, match="workers"):
        vornet.price([100.0], 100.0, 1.0, 0.0, 0.0, 0.2, "c", workers=workers)


def test_series_of_different_names_give_an_unnamed_result():
    index = pd.RangeIndex(3)
    strikes = pd.Series([90.0, 100.0, 110.0], index=index, name="strike")
    spots = pd.Series([100.0] * 3, index=index, name="spot")
    for S, K, name in ((spots, strikes, None), (spots, strikes.rename("spot"), "spot"),
                       (100.0, strikes, "strike")):
        assert vornet.price(S, K, 0.5, 0.03, 0.01, 0.25, "c").name == name
        greeks = vornet.greeks(S, K, 0.5, 0.03, 0.01, 0.25, "c")
        assert greeks.delta.name == "delta"


@pytest.mark.parametrize("argument, value, kind", [
    ("K", np.array(["2024-01-01"], dtype="datetime64[D]"), "datetime64"),
    ("T", np.array([1], dtype="timedelta64[D]"), "timedelta64"),
    ("S", np.array(["100"]), "<U3"),
    ("vol", np.array([1 + 1j]), "complex"),
])
def test_inputs_that_are_not_real_numbers_are_refused(argument, value, kind):
    inputs = dict(OPTION)
    inputs[argument] = value
    with pytest.raises(TypeError, match=rf"^{argument}: must be"):
        vornet.price(**inputs, kind="c")


@pytest.mark.parametrize("bad", ["discount", "forward"])
def test_a_bad_input_is_named(bad):
    args = dict(price=1.0, S=100.0, K=100.0, T=1.0, discount=0.97, forward=101.0)
    args[bad] = "abc"
    with pytest.raises(TypeError, match=rf"^{bad}: must be numbers"):
        vornet.implied_vol_at_forward(**args, kind="c")
    args[bad] = [1.0, object()]
    with pytest.raises(TypeError, match=rf"^{bad}: "):
        vornet.implied_vol_at_forward(**args, kind="c")
    args[bad] = [1.0, 2.0, 3.0]
    with pytest.raises(ValueError, match=rf"{bad} \(3,\)"):
        vornet.implied_vol_at_forward(**{**args, "K": [90.0, 100.0]}, kind="c")


class _NoEngine:
    """Stands in for the engine: any computation fails the test."""

    def __getattr__(self, name):
        def compute(*args, **kwargs):
            raise AssertionError(f"_engine.{name} was called")
        return compute


FUNCTIONS = {
    "price": lambda S, K, kind="c": vornet.price(S, K, 0.5, 0.03, 0.01, 0.25, kind),
    "price_at_forward": lambda S, K, kind="c": vornet.price_at_forward(S, K, 0.5, 0.98, 101.0,
                                                                       0.25, kind),
    "implied_vol": lambda S, K, kind="c": vornet.implied_vol(8.0, S, K, 0.5, 0.03, 0.01, kind),
    "implied_vol_at_forward": lambda S, K, kind="c": vornet.implied_vol_at_forward(
        8.0, S, K, 0.5, 0.98, 101.0, kind),
    "greeks": lambda S, K, kind="c": vornet.greeks(S, K, 0.5, 0.03, 0.01, 0.25, kind).delta,
    "greeks_at_forward": lambda S, K, kind="c": vornet.greeks_at_forward(
        S, K, 0.5, 0.98, 101.0, 0.25, kind).delta,
}


@pytest.mark.parametrize("name", list(FUNCTIONS))
@pytest.mark.parametrize("arguments, error, message", [
    # A one-column DataFrame would broadcast against a Series to N x N.
    (lambda: dict(S=pd.Series([100.0] * 3), K=pd.DataFrame({"K": [90.0, 95.0, 100.0]})),
     TypeError, r"^K: must be one column \(a Series\), not a DataFrame"),
    (lambda: dict(S=100.0, K=95.0, kind=pd.DataFrame({"kind": ["c", "p"]})),
     TypeError, r"^kind: must be one column \(a Series\), not a DataFrame"),
    # A Series broadcast to two dimensions has no index for its result.
    (lambda: dict(S=pd.Series([100.0] * 3), K=np.full((2, 3), 95.0)),
     ValueError, r"^S: a Series of 3 rows, but the inputs broadcast to \(2, 3\) \(K \(2, 3\)\)"),
    (lambda: dict(S=pd.Series([100.0] * 3), K=np.full((3, 1), 95.0)),
     ValueError, r"^S: a Series of 3 rows, but the inputs broadcast to \(3, 3\) \(K \(3, 1\)\)"),
    (lambda: dict(S=100.0, K=pd.Series([95.0] * 2), kind=[["c", "p"], ["p", "c"]]),
     ValueError, r"^K: a Series of 2 rows, .* \(kind \(2, 2\)\)"),
])
def test_odd_inputs_are_refused_before_any_work(monkeypatch, name, arguments, error, message):
    monkeypatch.setattr(vornet.market, "_engine", _NoEngine())
    with pytest.raises(error, match=message):
        FUNCTIONS[name](**arguments())


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_masked_elements_are_nan(name):
    function = FUNCTIONS[name]
    strikes = np.array([90.0, 95.0, 100.0, 105.0])
    kinds = np.array(["c", "p", "c", "p"])
    want = function(100.0, strikes, kinds)
    masked_strikes = np.ma.array(strikes, mask=[False, True, False, False])
    masked_spots = np.ma.array(np.full(4, 100.0), mask=[False, False, True, False])
    masked_kinds = np.ma.array(kinds, mask=[False, False, False, True])
    for S, K, kind, nan_at in ((100.0, masked_strikes, kinds, 1), (masked_spots, strikes, kinds, 2),
                               (100.0, strikes, masked_kinds, 3)):
        got = function(S, K, kind)
        assert type(got) is np.ndarray
        assert np.isnan(got[nan_at])
        keep = np.arange(4) != nan_at
        assert np.array_equal(got[keep], want[keep], equal_nan=True)
        assert np.isfinite(got[keep]).sum() >= 2
    assert math.isnan(function(100.0, np.ma.masked))


def test_a_masked_price_has_an_invalid_input():
    prices = np.ma.array([8.0, 8.0], mask=[False, True])
    vol, status = vornet.implied_vol(prices, 100.0, 95.0, 0.5, 0.03, 0.01, "c", full_output=True)
    assert status.tolist() == [IVStatus.SOLVED, IVStatus.INVALID_INPUT] and np.isnan(vol[1])
