"""_engine.find_forwards: the forward of every expiry of a chain in one call,
each the core's find_forward_baw to the bit, with the parity first guess and
a code per expiry; the same on any number of threads; bad arguments refused
before any work."""

import numpy as np
import pytest

import vornet
from vornet import _engine

BANDS = (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0)
ACCEPTED, NO_PAIRS, NOT_POSITIVE, NO_USABLE_STRIKE = range(4)


def as_bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.int64)


# --- a plain rendering of the band choice and the parity guess -------------------


def chosen_strikes(strikes, S):
    """The indices of the strikes within the first band around S that holds
    any, both ends included; all of them when none does."""
    for pct in BANDS:
        lo = (1.0 - pct) * S
        hi = (1.0 + pct) * S
        chosen = [i for i, K in enumerate(strikes) if K >= lo and K <= hi]
        if chosen:
            return chosen
    return list(range(len(strikes)))


def parity_guess(calls, puts, strikes, S, D):
    """The mean of ((C - P) / D) + K over the chosen strikes, in order; S
    without any. IEEE arithmetic throughout (D may be 0)."""
    chosen = chosen_strikes(strikes, S)
    if not chosen:
        return float(S)
    total = np.float64(0.0)
    with np.errstate(all="ignore"):
        for i in chosen:
            total = total + ((np.float64(calls[i]) - np.float64(puts[i])) / np.float64(D)
                             + np.float64(strikes[i]))
        return float(total / np.float64(len(chosen)))


def expected_code(calls, puts, strikes, S, D, forward):
    if len(strikes) == 0:
        return NO_PAIRS
    if not (np.isfinite(forward) and forward > 0):
        return NOT_POSITIVE
    chosen = chosen_strikes(strikes, S)
    n = len(chosen)
    K = np.asarray(strikes, dtype=np.float64)[chosen]
    args = (np.full(n, S), K, np.full(n, D), np.full(n, forward))
    call_iv = vornet.vectorized_baw_implied_vol(np.asarray(calls)[chosen], *args, ["c"] * n)
    put_iv = vornet.vectorized_baw_implied_vol(np.asarray(puts)[chosen], *args, ["p"] * n)
    return ACCEPTED if ((call_iv > 0) & (put_iv > 0)).any() else NO_USABLE_STRIKE


# --- chains ----------------------------------------------------------------------


def quotes(S, K, D, F, sigma, is_call):
    n = len(K)
    return _engine.price(np.full(n, S), K, np.full(n, D), np.full(n, F), np.full(n, sigma),
                         np.full(n, is_call))


def random_group(rng, kind):
    """(calls, puts, strikes, S, D) of one expiry; `kind` picks its oddity."""
    S = float(rng.uniform(20.0, 500.0))
    D = float(rng.choice([rng.uniform(0.8, 1.0), 1.0]))
    size = int(rng.integers(1, 20))
    K = S * np.exp(rng.normal(0.0, 0.12, size))
    if kind == 1:    # empty
        K = K[:0]
    elif kind == 2:  # strikes exactly on band edges, as the bands compute them
        pcts = rng.choice(BANDS[:-1], size)
        signs = rng.choice([-1.0, 1.0], size)
        K = np.array([(1.0 + p) * S if s > 0 else (1.0 - p) * S for p, s in zip(pcts, signs)])
    elif kind == 3:  # no strike within 100 % of the spot
        K = S * rng.uniform(2.05, 4.0, size)
    elif kind == 4:  # D nearly or exactly 0
        D = float(rng.choice([0.0, 1e-300, 1e-12]))
    F = S * float(np.exp(rng.normal(0.0, 0.02)))
    sigma = float(rng.uniform(0.05, 0.6))
    calls = quotes(S, K, max(D, 1e-300), F, sigma, True) * rng.uniform(0.995, 1.005, len(K))
    puts = quotes(S, K, max(D, 1e-300), F, sigma, False) * rng.uniform(0.995, 1.005, len(K))
    if kind == 5:    # NaN quotes, calls without puts
        puts[rng.random(len(K)) < 0.5] = np.nan
        calls[rng.random(len(K)) < 0.2] = np.nan
    elif kind == 6:  # no time value anywhere: parity says K, nothing inverts
        calls[:] = 0.0
        puts[:] = 0.0
    elif kind == 7:  # puts far above calls: a negative parity guess
        puts += 3.0 * S
    elif kind == 8:  # calls without puts: most put quotes zero
        puts[rng.random(len(K)) < 0.8] = 0.0
    return calls, puts, K, S, D


def random_chain(groups, seed):
    rng = np.random.default_rng(seed)
    parts = [random_group(rng, kind) for kind in rng.permutation(np.arange(groups) % 10)]
    sizes = [len(p[2]) for p in parts]
    bounds = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    calls, puts, strikes = (np.concatenate([p[j] for p in parts]) for j in range(3))
    spots = np.array([p[3] for p in parts])
    discounts = np.array([p[4] for p in parts])
    return parts, (calls, puts, strikes, bounds, spots, discounts)


def strided(values):
    """The same values in a non-contiguous view."""
    spread = np.full(2 * len(values), -7, dtype=values.dtype)
    spread[::2] = values
    return spread[::2]


def test_every_group_is_the_cores_search_to_the_bit():
    parts, args = random_chain(50, 21)
    forward, parity, code = _engine.find_forwards(*args)
    assert forward.dtype == parity.dtype == np.float64 and code.dtype == np.int8
    assert forward.shape == parity.shape == code.shape == (50,)
    for g, (calls, puts, strikes, S, D) in enumerate(parts):
        want = vornet.find_forward_baw(calls, puts, strikes, S, D)
        assert as_bits(forward[g]) == as_bits(want), g
        assert as_bits(parity[g]) == as_bits(parity_guess(calls, puts, strikes, S, D)), g
        assert code[g] == expected_code(calls, puts, strikes, S, D, forward[g]), g
    # Every outcome occurs.
    assert set(code.tolist()) == {ACCEPTED, NO_PAIRS, NOT_POSITIVE, NO_USABLE_STRIKE}
    assert (code == ACCEPTED).sum() >= 20


def test_results_do_not_depend_on_workers_or_layout():
    _, args = random_chain(30, 22)
    want = _engine.find_forwards(*args)
    calls, puts, strikes, bounds, spots, discounts = args
    for workers in (2, -1, np.int64(3)):
        got = _engine.find_forwards(*args, workers=workers)
        for a, b in zip(got, want):
            assert (a.view(np.int8) == b.view(np.int8)).all()
    got = _engine.find_forwards(strided(calls), strided(puts), strided(strikes),
                                strided(bounds), strided(spots), strided(discounts), 2)
    for a, b in zip(got, want):
        assert (a.view(np.int8) == b.view(np.int8)).all()


@pytest.mark.parametrize("pct", BANDS[:-1])
@pytest.mark.parametrize("edge", [-1.0, 1.0], ids=["lower", "upper"])
def test_a_strike_on_the_band_edge_belongs_to_the_band(pct, edge):
    # One strike exactly on the edge of a band, two more only in the next:
    # the band holds the first strike alone, and the guess is its own.
    S = 123.4
    wider = BANDS[BANDS.index(pct) + 1]
    on_edge = (1.0 + edge * pct) * S
    K = np.array([(1.0 - (pct + wider) / 2) * S, on_edge, (1.0 + (pct + wider) / 2) * S])
    D = 0.98
    calls = quotes(S, K, D, S * 1.01, 0.3, True)
    puts = quotes(S, K, D, S * 1.01, 0.3, False)
    forward, parity, code = _engine.find_forwards(calls, puts, K, np.array([0, 3]),
                                                  np.array([S]), np.array([D]))
    assert parity[0] == (calls[1] - puts[1]) / D + on_edge
    assert as_bits(forward[0]) == as_bits(vornet.find_forward_baw(calls, puts, K, S, D))
    assert code[0] == ACCEPTED


def pair_quotes(K, D=0.98):
    """Model calls and puts around S = 100 at forward 101, deviation 0.3."""
    K = np.asarray(K, dtype=np.float64)
    return quotes(100.0, K, D, 101.0, 0.3, True), quotes(100.0, K, D, 101.0, 0.3, False)


def with_zeros(values, at):
    values = values.copy()
    values[at] = 0.0
    return values


C2, P2 = pair_quotes([99.5, 100.5])


@pytest.mark.parametrize("calls, puts, strikes, D, code", [
    (C2, P2, [99.5, 100.5], 0.98, ACCEPTED),
    (C2, with_zeros(P2, [0]), [99.5, 100.5], 0.98, ACCEPTED),        # one full pair suffices
    (C2, with_zeros(P2, [0, 1]), [99.5, 100.5], 0.98, NO_USABLE_STRIKE),  # calls alone
    (with_zeros(C2, [0, 1]), P2, [99.5, 100.5], 0.98, NO_USABLE_STRIKE),  # puts alone
    (with_zeros(C2, [1]), with_zeros(P2, [0]), [99.5, 100.5], 0.98,
     NO_USABLE_STRIKE),                                                # never at one strike
    # A usable pair outside the band does not count.
    (np.append(with_zeros(C2, [0, 1]), C2[0]), np.append(P2, P2[0]), [99.5, 100.5, 90.0], 0.98,
     NO_USABLE_STRIKE),
    (np.append(C2, np.nan), np.append(P2, 1.0), [99.5, 100.5, 100.0], 0.98, NOT_POSITIVE),
    (C2, P2 + 500.0, [99.5, 100.5], 0.98, NOT_POSITIVE),               # negative guess
    (C2, P2, [99.5, 100.5], 0.0, NOT_POSITIVE),                        # D = 0
    (C2[:0], P2[:0], [], 0.98, NO_PAIRS),
], ids=["pairs", "one-pair", "calls-only", "puts-only", "split", "outside-band", "nan-quote",
        "negative", "zero-discount", "empty"])
def test_codes(calls, puts, strikes, D, code):
    strikes = np.asarray(strikes, dtype=np.float64)
    forward, parity, got = _engine.find_forwards(calls, puts, strikes,
                                                 np.array([0, len(strikes)]),
                                                 np.array([100.0]), np.array([D]))
    assert got[0] == code == expected_code(calls, puts, strikes, 100.0, D, forward[0])
    assert as_bits(forward[0]) == as_bits(vornet.find_forward_baw(calls, puts, strikes, 100.0, D))


def test_empty_chains_and_groups():
    empty = np.array([])
    forward, parity, code = _engine.find_forwards(empty, empty, empty, np.array([0]), empty,
                                                  empty)
    assert forward.shape == parity.shape == code.shape == (0,)
    # Empty groups search around their spot, as the core does with no quotes.
    forward, parity, code = _engine.find_forwards(empty, empty, empty, np.array([0, 0, 0]),
                                                  np.array([100.0, 50.0]), np.array([0.99, 1.0]))
    assert parity.tolist() == [100.0, 50.0]
    assert forward.tolist() == [vornet.find_forward_baw([], [], [], 100.0, 0.99),
                                vornet.find_forward_baw([], [], [], 50.0, 1.0)]
    assert code.tolist() == [NO_PAIRS, NO_PAIRS]


def arguments(**changes):
    args = dict(calls=np.ones(4), puts=np.ones(4), strikes=np.full(4, 100.0),
                bounds=np.array([0, 1, 4]), spots=np.full(2, 100.0), discounts=np.ones(2))
    args.update(changes)
    return tuple(args.values())


@pytest.mark.parametrize("args, kwargs, error, message", [
    (arguments(bounds=np.array([1, 1, 4])), {}, ValueError, r"bounds\[0\] is 1, not 0"),
    (arguments(bounds=np.array([0, 3, 2, 4]), spots=np.ones(3), discounts=np.ones(3)), {},
     ValueError, r"bounds decrease: bounds\[2\] = 2 is below bounds\[1\] = 3"),
    (arguments(bounds=np.array([0, 1, 3])), {}, ValueError,
     r"the last bound, bounds\[2\] = 3, is not the number of pairs 4"),
    (arguments(bounds=np.array([], dtype=np.int64)), {}, ValueError, "bounds is empty"),
    (arguments(bounds=np.array([0.0, 1.0, 4.0])), {}, ValueError,
     "bounds: Buffer dtype mismatch, expected 'int64'"),
    (arguments(bounds=np.array([0, 1, 4], dtype=np.int32)), {}, ValueError,
     "bounds: Buffer dtype mismatch, expected 'int64'"),
    (arguments(spots=np.ones(3)), {}, ValueError,
     "spots has 3 elements, one per group, and bounds delimits 2 groups"),
    (arguments(discounts=np.ones(1)), {}, ValueError,
     "discounts has 1 elements, one per group, and bounds delimits 2 groups"),
    (arguments(puts=np.ones(3)), {}, ValueError, "puts has 3 elements, calls has 4"),
    (arguments(strikes=np.ones(5)), {}, ValueError, "strikes has 5 elements, calls has 4"),
    (arguments(calls=np.ones((4, 1))), {}, ValueError, "calls: .*dimensions"),
    (arguments(spots=np.ones(2, dtype=np.float32)), {}, ValueError,
     "spots: Buffer dtype mismatch"),
    (arguments(strikes=[100.0] * 4), {}, TypeError, "strikes: a bytes-like object"),
    (arguments(), {"workers": 0}, ValueError, "positive integer"),
    (arguments(), {"workers": 1.5}, TypeError, "workers must be an integer, not float"),
    (arguments(), {"method": "fast"}, TypeError, "unexpected keyword argument 'method'"),
    (arguments()[:5], {}, TypeError, "takes 6 positional arguments and workers"),
    (arguments() + (1,), {"workers": 1}, TypeError, "multiple values for argument 'workers'"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        _engine.find_forwards(*args, **kwargs)
