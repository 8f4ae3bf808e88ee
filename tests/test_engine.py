"""The engine: the core's results over arrays, on any number of threads, with
inputs copied before the loop; and a package that leaves the core (and the
interpreter lock) alone until its functions are used."""

import os
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


# A loop of minutes: 20 million inversions of broadcast inputs (nothing but
# the results is allocated, and only the pages written are touched).
INTERRUPTED_LOOP = """
    import os, signal, threading, time
    import numpy as np
    import vornet

    n = 20_000_000
    sent = []

    def interrupt():
        time.sleep(1.0)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt).start()
    strikes = np.broadcast_to(100.0, (n,))
    result = None
    try:
        result = vornet.implied_vol(5.0, 100.0, strikes, 1.0, 0.05, 0.0, "p", workers=WORKERS)
    except KeyboardInterrupt:
        print("interrupted after", time.perf_counter() - sent[0])
    assert result is None
    # The engine is whole afterwards.
    again = vornet.implied_vol(5.0, 100.0, strikes[:1000], 1.0, 0.05, 0.0, "p", workers=WORKERS)
    assert np.isfinite(again).all()
"""


@pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT to its own process")
@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_stops_a_long_loop_and_raises(workers):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPTED_LOOP).replace(
        "WORKERS", str(workers))], capture_output=True, text=True, timeout=90)
    assert result.returncode == 0, result.stderr
    words = result.stdout.split()
    assert words[:2] == ["interrupted", "after"]
    # Honoured after a few tens of milliseconds; a loaded machine may take
    # longer, the whole loop minutes.
    assert float(words[2]) < 20.0


def test_ctrl_c_leaves_a_loop_on_another_thread_running():
    # Only the main thread runs signal handlers: KeyboardInterrupt reaches
    # the main thread's Python code, and the loop on the other thread ends
    # with every result.
    out = run_python("""
        import os, signal, threading, time
        import numpy as np
        import vornet

        strikes = np.linspace(80.0, 120.0, 200_000)
        results = []
        worker = threading.Thread(target=lambda: results.append(
            vornet.implied_vol(5.0, 100.0, strikes, 1.0, 0.05, 0.0, "p")))
        worker.start()
        time.sleep(0.3)
        try:
            os.kill(os.getpid(), signal.SIGINT)
            while worker.is_alive():
                time.sleep(0.01)
        except KeyboardInterrupt:
            print("main interrupted", worker.is_alive())
        worker.join()
        want = vornet.implied_vol(5.0, 100.0, strikes, 1.0, 0.05, 0.0, "p")
        print(np.array_equal(results[0], want, equal_nan=True))
    """)
    assert out.split() == ["main", "interrupted", "True", "True"]


def test_import_vornet_leaves_the_core_alone_until_it_is_used():
    out = run_python("""
        import sys
        import vornet
        gil = getattr(sys, "_is_gil_enabled", lambda: True)
        before = gil()
        vornet.price([100.0], 100.0, 1.0, 0.05, 0.0, 0.2, "p", workers=2)
        vornet.implied_vol(5.0, 100.0, 100.0, 1.0, 0.05, 0.0, "p", full_output=True)
        vornet.greeks(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, "c")
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


# --- workers -------------------------------------------------------------------


def usable_cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def test_resolve_workers_is_the_engines_rule():
    cores = usable_cores()
    cap = _engine.max_workers
    assert _engine.resolve_workers(1) == 1
    assert _engine.resolve_workers(3) == min(3, cap)
    assert _engine.resolve_workers(-1) == min(cores, cap)
    assert _engine.resolve_workers(-cores) == 1
    assert _engine.resolve_workers(10**6) == cap
    assert _engine.resolve_workers(True) == 1
    assert _engine.resolve_workers(np.int64(2)) == 2
    assert _engine.resolve_workers(np.uint8(1)) == 1


@pytest.mark.parametrize("workers, error, message", [
    (0, ValueError, "positive integer"),
    (False, ValueError, "positive integer"),
    (-usable_cores() - 1, ValueError, "positive integer"),
    (2.0, TypeError, "must be an integer, not float"),
    (np.float64(2.0), TypeError, "must be an integer"),
    ("2", TypeError, "must be an integer, not str"),
    (10**30, OverflowError, "too large"),
])
def test_resolve_workers_refuses(workers, error, message):
    with pytest.raises(error, match=message):
        _engine.resolve_workers(workers)
    with pytest.raises(error, match=message):
        _engine.price(1.0, 1.0, 1.0, 1.0, 1.0, True, workers)


# --- broadcast inputs ----------------------------------------------------------


def market_columns(n, seed):
    """Every input any kernel takes, by name, over n options."""
    rng = np.random.default_rng(seed)
    c = {"S": rng.uniform(50.0, 150.0, n), "K": rng.uniform(50.0, 150.0, n),
         "T": rng.uniform(0.1, 2.0, n), "r": rng.uniform(0.0, 0.08, n),
         "q": rng.uniform(0.0, 0.05, n), "vol": rng.uniform(0.1, 0.6, n)}
    c["D"] = np.exp(-c["r"] * c["T"])
    c["F"] = c["S"] * np.exp((c["r"] - c["q"]) * c["T"])
    c["sigma"] = c["vol"] * np.sqrt(c["T"])
    is_call = rng.random(n) < 0.5
    c["price"] = _engine.price_rates(c["S"], c["K"], c["T"], c["r"], c["q"], c["vol"], is_call)
    return c, is_call


KERNELS = {
    "price": ("S", "K", "D", "F", "sigma"),
    "price_rates": ("S", "K", "T", "r", "q", "vol"),
    "price_forward": ("S", "K", "T", "D", "F", "vol"),
    "implied_sigma": ("price", "S", "K", "D", "F"),
    "implied_vol_rates": ("price", "S", "K", "T", "r", "q"),
    "implied_vol_forward": ("price", "S", "K", "T", "D", "F"),
    "greeks_rates": ("S", "K", "T", "r", "q", "vol"),
    "greeks_forward": ("S", "K", "T", "D", "F", "vol"),
}


def result_bits(result):
    parts = result if isinstance(result, tuple) else (result,)
    return [np.ascontiguousarray(p).view(np.uint8).tobytes() for p in parts]


@pytest.mark.parametrize("name", sorted(KERNELS))
def test_broadcast_inputs_give_what_full_columns_give(name):
    # Every input but K (and the price) one value repeated by a zero stride,
    # the side as well; against the same values in full, contiguous columns.
    n = 300
    columns, _ = market_columns(n, 31)
    kernel = getattr(_engine, name)
    broadcast = [columns[x] if x in ("K", "price") else np.broadcast_to(columns[x][0], (n,))
                 for x in KERNELS[name]]
    sides = np.broadcast_to(False, (n,))
    full = [np.ascontiguousarray(a) for a in broadcast]
    got = kernel(*broadcast, sides, np.int64(2))
    want = kernel(*full, np.ascontiguousarray(sides), 1)
    assert result_bits(got) == result_bits(want)
    assert np.isfinite(got if not isinstance(got, tuple) else got[0]).sum() > n // 2


@pytest.mark.skipif(not sys.platform.startswith("linux"),
                    reason="reads the peak resident size as Linux reports it (KiB)")
def test_scalar_market_inputs_are_not_copied_into_columns():
    # 4 million prices with scalar T, r, q and vol: the engine copies S and K
    # and writes the result (3 columns of 8 bytes an option); copying the
    # four scalars out to full columns as well would take 7.
    n = 4_000_000
    out = run_python(f"""
        import resource
        import numpy as np
        import vornet
        n = {n}
        S = np.full(n, 100.0)
        K = np.full(n, 100.0)
        K[::2] = 90.0
        vornet.price(S[:10], K[:10], 1.0, 0.05, 0.01, 0.0, "c")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        prices = vornet.price(S, K, 1.0, 0.05, 0.01, 0.0, "c", workers=2)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert prices.shape == (n,) and np.isfinite(prices).all()
        print((after - before) * 1024)
    """)
    column = 8 * n
    assert int(out) < 5 * column
