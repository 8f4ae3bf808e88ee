"""The engine: the core's results over arrays, on any number of threads, with
inputs copied before the loop; and a package that leaves the core (and the
interpreter lock) alone until its functions are used."""

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import vornet
from vornet import _engine

from helpers import bits, random_options


def model_arrays(n, seed):
    """Model prices (with a few below the exercise value or above the
    model's maximum), S, K, D, F and the sides, over random_options."""
    S, K, D, F, sigma = (np.array(column) for column in zip(*random_options(n, seed)))
    is_call = np.random.default_rng(seed).random(n) < 0.5
    prices = _engine.price(S, K, D, F, sigma, is_call)
    prices[::17] *= 0.5
    prices[::23] += S[::23]
    return prices, S, K, D, F, is_call


def test_engine_equals_the_core_bit_for_bit():
    prices, S, K, D, F, is_call = model_arrays(2000, 11)
    flags = np.where(is_call, "c", "p")
    sigma = np.sqrt(np.abs(np.log(F / K))) + 0.1
    model_prices = _engine.price(S, K, D, F, sigma, is_call, workers=2)
    want_prices = [vornet.baw_price(*args) for args in zip(S, K, D, F, sigma, flags)]
    assert [bits(x) for x in model_prices] == [bits(x) for x in want_prices]

    implied, status = _engine.implied_sigma(prices, S, K, D, F, is_call, workers=2)
    core = vornet.vectorized_baw_implied_vol(prices, S, K, D, F, list(flags))
    solved = status == vornet.IVStatus.SOLVED
    assert solved.sum() > 1000
    assert [bits(x) for x in implied[solved]] == [bits(x) for x in core[solved]]
    # The core answers 0.0 for a price without time value and NaN for no root.
    assert ((core == 0.0) == (status == vornet.IVStatus.NO_TIME_VALUE) & (core == 0.0)).all()
    assert np.isnan(core[(status != 0) & (core != 0.0)]).all()
    assert np.isnan(implied[~solved]).all()


def test_one_option_and_arrays_agree():
    prices, S, K, D, F, is_call = model_arrays(40, 12)
    sigma, status = _engine.implied_sigma(prices, S, K, D, F, is_call)
    for i in range(len(S)):
        one = _engine.implied_sigma(float(prices[i]), float(S[i]), float(K[i]), float(D[i]),
                                    float(F[i]), bool(is_call[i]))
        assert bits(one[0]) == bits(sigma[i]) and one[1] == status[i]


def test_broadcast_views_are_read_through_their_strides():
    S = np.broadcast_to(100.0, (5,))
    K = np.linspace(80.0, 120.0, 10)[::2]
    is_call = np.broadcast_to(True, (5,))
    got = _engine.price_rates(S, K, S * 0 + 1.0, S * 0 + 0.02, S * 0, S * 0 + 0.3, is_call)
    want = [_engine.price_rates(100.0, float(k), 1.0, 0.02, 0.0, 0.3, True) for k in K]
    assert got.tolist() == want


@pytest.mark.parametrize("call, message", [
    (lambda: _engine.price(np.ones(3), np.ones(2), np.ones(3), np.ones(3), np.ones(3),
                           np.ones(3, bool)), "K has 2 elements, is_call has 3"),
    (lambda: _engine.price(np.ones(3), np.ones(3), np.ones(3), np.ones(3), np.ones(3),
                           np.ones(3)), "dtype mismatch"),
    (lambda: _engine.price(np.ones((3, 1)), np.ones(3), np.ones(3), np.ones(3), np.ones(3),
                           np.ones(3, bool)), "dimensions"),
    (lambda: _engine.price(1.0, 1.0, 1.0, 1.0, 1.0), "takes 6 positional arguments"),
    (lambda: _engine.price(1.0, 1.0, 1.0, 1.0, 1.0, True, threads=2), "unexpected keyword"),
    (lambda: _engine.price(1.0, 1.0, 1.0, 1.0, 1.0, True, 1, workers=2), "multiple values"),
    (lambda: _engine.price(1.0, 1.0, 1.0, 1.0, 1.0, True, workers=0), "positive integer"),
])
def test_engine_argument_errors(call, message):
    with pytest.raises((TypeError, ValueError), match=message):
        call()


def test_inputs_changed_by_another_thread_cannot_reach_the_loop():
    # While one thread solves, another keeps rewriting and replacing the
    # storage of the very arrays it was given: the solver works on its own
    # copies, so nothing crashes and the result is that of some input state.
    prices, S, K, D, F, is_call = model_arrays(4000, 13)
    stop = threading.Event()

    def vandal():
        spare = np.zeros_like(K)
        while not stop.is_set():
            K[:] = spare
            state = K.__reduce__()[2]
            K.__setstate__(state)

    thread = threading.Thread(target=vandal)
    thread.start()
    try:
        for _ in range(3):
            sigma, status = _engine.implied_sigma(prices, S, K, D, F, is_call, workers=2)
            assert sigma.shape == status.shape == (4000,)
    finally:
        stop.set()
        thread.join()


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_import_vornet_leaves_the_core_alone_until_it_is_used():
    out = run_python("""
        import sys
        import vornet
        gil = getattr(sys, "_is_gil_enabled", lambda: True)
        before = gil()
        vornet.price([100.0], 100.0, 1.0, 0.05, 0.0, 0.2, "p", workers=2)
        vornet.implied_vol(5.0, 100.0, 100.0, 1.0, 0.05, 0.0, "p", full_output=True)
        vornet.greeks(100.0, 100.0, 1.0, 0.05, 0.0, 0.2)
        print("vornet.vornet_core" in sys.modules, gil() == before)
        vornet.baw_price(100.0, 100.0, 0.95, 105.0, 0.2, "c")
        print("vornet.vornet_core" in sys.modules, vornet.baw_price is vornet.vornet_core.baw_price)
    """)
    assert out.split() == ["False", "True", "True", "True"]


def test_submodules_are_attributes_and_unknown_names_raise_attribute_error():
    out = run_python("""
        import vornet
        print(vornet.market.price is vornet.price, vornet._engine.__name__)
    """)
    assert out.split() == ["True", "vornet._engine"]
    with pytest.raises(AttributeError, match="no attribute 'nope'"):
        vornet.nope


def test_many_threads_calling_at_once_get_what_one_thread_gets():
    from helpers import call_in_threads

    prices, S, K, D, F, is_call = model_arrays(600, 14)
    want = _engine.implied_sigma(prices, S, K, D, F, is_call)
    results = call_in_threads(
        lambda workers: _engine.implied_sigma(prices, S, K, D, F, is_call, workers=workers),
        [(w,) for w in (1, 2, 1, 2, -1, 1, 2, -1)])
    for sigma, status in results:
        assert np.array_equal(sigma, want[0], equal_nan=True)
        assert np.array_equal(status, want[1])
