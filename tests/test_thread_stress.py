"""Eight threads call the four functions on shared inputs while other threads
write elements of some of those inputs, swap the module's `np` for a stand-in,
replace find_forward_baw's reported defaults and pickle the functions.

Nothing may crash or raise; every result computed from inputs that no thread
writes must equal the serial one bit for bit, and every result computed from
written inputs must be one that the values an element held can give.
Everything is bounded by counts: the workers make a fixed number of calls,
and the disturbing threads stop when the workers are done (or after a fixed
number of rounds).
"""

import pickle
import sys
import threading

import numpy as np
import pytest

import vornet.vornet_core as core
from helpers import assert_same_numbers, numpy_stand_in, same_number
from vornet import baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_implied_vol

WORKERS = 8
ROUNDS = 6            # calls of each function per worker
DISTURBANCES = 20000  # upper bound on the rounds of each disturbing thread
N = 400               # quotes in the batch chain

FUNCTIONS = (baw_price, baw_implied_vol, vectorized_baw_implied_vol, find_forward_baw)


def batch_chain(n, seed):
    """Calls and puts in and out of the money over several expiries, with
    prices that solve, that have no time value and that have no solution."""
    rng = np.random.default_rng(seed)
    S = rng.uniform(50.0, 150.0, n)
    K = S * np.exp(rng.normal(0.0, 0.25, n))
    years = rng.choice([0.05, 0.5, 2.0], n)
    D = np.exp(-rng.uniform(0.0, 0.08, n) * years)
    F = S * np.exp(rng.uniform(-0.04, 0.08, n) * years)
    sigma = rng.uniform(0.1, 0.8, n) * np.sqrt(years)
    flags = ["c" if c else "p" for c in rng.random(n) < 0.5]
    prices = np.array([baw_price(*row) for row in zip(S, K, D, F, sigma, flags)])
    prices[rng.random(n) < 0.05] = 0.0
    prices[rng.random(n) < 0.03] = 1e6
    return prices, S, K, D, F, flags


def forward_chain():
    S, D, F = 100.0, 0.985, 100.5
    strikes = np.arange(90.0, 110.5, 2.5)
    calls = np.array([baw_price(S, K, D, F, 0.2, "c") for K in strikes])
    puts = np.array([baw_price(S, K, D, F, 0.2, "p") for K in strikes])
    return calls, puts, strikes, S, D


class Stress:
    """The shared inputs, the serial results, and the threads."""

    def __init__(self, resize_storage):
        self.resize_storage = resize_storage
        self.stable = batch_chain(N, seed=3)
        prices, S, K, D, F, flags = batch_chain(N, seed=4)
        self.columns = (S, K, D, F)
        # the written inputs: each element of prices_mut holds prices_a or
        # prices_b, each flag "c" or "p"
        self.prices_a = prices
        self.prices_b = prices * 1.01
        self.prices_mut = prices.copy()
        self.flags_mut = list(flags)
        self.forward = forward_chain()
        self.calls_mut = self.forward[0].copy()
        self.scalar_price = (100.0, 95.0, 0.97, 101.0, 0.3, "p")
        self.scalar_iv = (7.5, 100.0, 100.0, 0.95, 98.0, "c")

        # serial results
        self.want_stable = vectorized_baw_implied_vol(*self.stable)
        self.allowed = [
            vectorized_baw_implied_vol(p, *self.columns, [flag] * N)
            for p in (self.prices_a, self.prices_b) for flag in "cp"
        ]
        self.want_forward = find_forward_baw(*self.forward)
        self.want_price = baw_price(*self.scalar_price)
        self.want_iv = baw_implied_vol(*self.scalar_iv)

        self.done = threading.Event()
        self.errors = []

    # --- checks run in the workers

    def check_mutable_batch(self, got):
        n = len(got)
        if n != N and not (self.resize_storage and n == 1):
            raise AssertionError(f"result of {n} elements")
        for i, g in enumerate(got.tolist()):
            options = [a[i] for a in self.allowed]
            if self.resize_storage and i == 0:
                options.append(0.0)  # the one-element zero array solves to 0.0
            if not any(same_number(g, w) for w in options):
                raise AssertionError(f"element {i}: {g!r} not among {options!r}")

    def worker(self):
        for _ in range(ROUNDS):
            assert_same_numbers(vectorized_baw_implied_vol(*self.stable), self.want_stable)
            try:
                self.check_mutable_batch(vectorized_baw_implied_vol(
                    self.prices_mut, *self.columns, self.flags_mut))
            except ValueError as exc:
                # the prices' storage shrank between reading len(prices) and
                # converting them
                if not (self.resize_storage and "fewer than len(prices)" in str(exc)):
                    raise
            # five arguments: strike_pct is 0.01 whatever __defaults__ says
            assert same_number(find_forward_baw(*self.forward), self.want_forward)
            result = find_forward_baw(self.calls_mut, *self.forward[1:], 0.01)
            assert type(result) is float
            assert same_number(baw_price(*self.scalar_price), self.want_price)
            assert same_number(baw_implied_vol(*self.scalar_iv), self.want_iv)

    # --- disturbing threads

    def write_elements(self):
        rng = np.random.default_rng(7)
        full_state = (1, (N,), np.dtype("f8"), False, self.prices_a.tobytes())
        one_zero = (1, (1,), np.dtype("f8"), False, b"\0" * 8)
        for k in range(DISTURBANCES):
            if self.done.is_set():
                break
            i = int(rng.integers(N))
            if self.resize_storage and k % 2:
                # frees the data block (and shape) any running batch may hold
                self.prices_mut.__setstate__(one_zero if k % 4 == 1 else full_state)
            elif len(self.prices_mut) == N:
                self.prices_mut[i] = (self.prices_a if rng.random() < 0.5 else self.prices_b)[i]
            self.flags_mut[i] = "c" if rng.random() < 0.5 else "p"
            j = i % len(self.calls_mut)
            self.calls_mut[j] = self.forward[0][j] * (1.0 + 0.01 * rng.random())

    def swap_numpy(self):
        stand_in = numpy_stand_in()
        for _ in range(DISTURBANCES):
            if self.done.is_set():
                break
            core.np = stand_in
            core.np = np

    def replace_defaults(self):
        for k in range(DISTURBANCES):
            if self.done.is_set():
                break
            find_forward_baw.__defaults__ = [(0.5,), ("x",), None, (0.01,)][k % 4]

    def pickle_functions(self):
        for _ in range(DISTURBANCES):
            if self.done.is_set():
                break
            for f in FUNCTIONS:
                assert pickle.loads(pickle.dumps(f)) is f

    # --- running

    def guarded(self, target):
        def run():
            try:
                target()
            except BaseException as exc:  # noqa: BLE001 - reported by the main thread
                self.errors.append((target.__name__, exc))
        return run

    def run(self):
        workers = [threading.Thread(target=self.guarded(self.worker)) for _ in range(WORKERS)]
        others = [threading.Thread(target=self.guarded(t)) for t in (
            self.write_elements, self.swap_numpy, self.replace_defaults,
            self.pickle_functions)]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            for t in others + workers:
                t.start()
            for t in workers:
                t.join()
            self.done.set()
            for t in others:
                t.join()
        finally:
            self.done.set()
            sys.setswitchinterval(interval)
            core.np = np
            find_forward_baw.__defaults__ = (0.01,)


@pytest.mark.parametrize("resize_storage", [False, True], ids=["element-writes", "storage-swaps"])
def test_threads_calling_while_others_disturb(resize_storage):
    stress = Stress(resize_storage)
    stress.run()
    assert stress.errors == []
    # the module is left as it was
    assert core.np is np and find_forward_baw.__defaults__ == (0.01,)
    assert_same_numbers(vectorized_baw_implied_vol(*stress.stable), stress.want_stable)
