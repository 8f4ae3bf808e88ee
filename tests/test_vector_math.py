"""exp, the normal distribution function and ln over arrays, as the
integral model's quadratures compute them: accuracy against the C library,
the edges, and the same bits on every path the processor has (the baseline,
AVX2, AVX-512); and the interpolation's weighted sums with their square
root, to the bit of the sums taken in order."""

import math

import numpy as np
import pytest

from vornet import _engine

EPS = np.finfo(float).eps
SMALLEST_NORMAL = np.finfo(float).tiny
AVAILABLE = _engine.vector_paths()
# Every path, those this processor lacks skipped.
PATHS = [pytest.param(path, id=name, marks=pytest.mark.skipif(
    path >= AVAILABLE, reason=f"this processor has no {name} instructions"))
    for path, name in enumerate(["baseline", "AVX2", "AVX-512"])]


def normal_cdf(x):
    return np.array([0.5 * math.erfc(-v / math.sqrt(2.0)) for v in x])


@pytest.mark.parametrize("path", PATHS)
def test_exp_is_within_two_units_in_the_last_place(path):
    rng = np.random.default_rng(11)
    x = np.concatenate([rng.uniform(-745.0, 709.7, 100_000), rng.uniform(-1.0, 1.0, 20_000),
                        np.arange(-700.0, 700.0, 0.5)])
    exps = _engine.vector_math(x, path)[0]
    expected = np.exp(x)
    normal = expected >= SMALLEST_NORMAL
    assert np.all(np.abs(exps - expected)[normal] <= 2.0 * EPS * expected[normal])
    # Below the normal range the result is rounded once, as the library's is.
    assert np.all(np.abs(exps - expected)[~normal] <= 5e-324)


@pytest.mark.parametrize("path", PATHS)
def test_normal_cdf_is_accurate_over_its_range(path):
    rng = np.random.default_rng(12)
    x = np.concatenate([rng.uniform(-37.5, 38.0, 60_000), rng.uniform(-3.0, 3.0, 20_000)])
    cdfs = _engine.vector_math(x, path)[1]
    expected = normal_cdf(x)
    normal = expected >= SMALLEST_NORMAL
    error = np.abs(cdfs - expected)[normal] / expected[normal]
    # A few units where |x| is small; beyond, the error of exp(-x^2/2) in
    # the rounded x^2 grows like x^2.
    assert np.all(error <= 16.0 * EPS * (1.0 + x[normal] ** 2))
    assert np.all(error[np.abs(x[normal]) < 3.0] <= 16.0 * EPS)


@pytest.mark.parametrize("path", PATHS)
def test_log_is_within_two_units_in_the_last_place(path):
    rng = np.random.default_rng(13)
    # Over the whole range (subnormals too), and near 1 where ln x is small.
    x = np.concatenate([np.exp(rng.uniform(-744.0, 709.7, 100_000)),
                        rng.uniform(0.5, 2.0, 50_000), 1.0 + rng.uniform(-1e-6, 1e-6, 10_000),
                        [5e-324, 1e-310, SMALLEST_NORMAL, np.finfo(float).max, 1.0, 2.0]])
    logs = _engine.vector_math(x, path)[2]
    expected = np.log(x)
    ulp = np.spacing(np.abs(expected))
    assert np.all(np.abs(logs - expected) <= 2.0 * ulp)


@pytest.mark.parametrize(
    "x, expected_log",
    [(0.0, -math.inf), (-0.0, -math.inf), (math.inf, math.inf), (-1.0, math.nan),
     (-math.inf, math.nan), (-5e-324, math.nan), (1.0, 0.0)],
)
def test_log_edges(x, expected_log):
    for path in range(AVAILABLE):
        value = _engine.vector_math(np.array([x]), path)[2][0]
        assert value == expected_log or (math.isnan(expected_log) and math.isnan(value))


@pytest.mark.parametrize(
    "x, expected_exp, expected_cdf",
    [
        (0.0, 1.0, 0.5),
        (-0.0, 1.0, 0.5),
        (math.inf, math.inf, 1.0),
        (-math.inf, 0.0, 0.0),
        (709.79, math.inf, 1.0),
        (-745.2, 0.0, 0.0),
        (-745.1, 5e-324, 0.0),
    ],
)
def test_edges(x, expected_exp, expected_cdf):
    for path in range(AVAILABLE):
        exps, cdfs, _ = _engine.vector_math(np.array([x]), path)
        assert exps[0] == expected_exp
        assert cdfs[0] == expected_cdf


def test_nan_stays_nan():
    exps, cdfs, logs = _engine.vector_math(np.array([1.0, math.nan, -2.0]), -1)
    assert math.isnan(exps[1]) and math.isnan(cdfs[1]) and math.isnan(logs[1])
    assert exps[0] == pytest.approx(math.e, rel=2 * EPS)
    assert cdfs[2] == pytest.approx(normal_cdf([-2.0])[0], rel=16 * EPS)


@pytest.mark.parametrize("path", PATHS[1:])
@pytest.mark.parametrize(
    "size", [1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 22, 23, 24, 25, 31, 33, 47, 140, 1001])
def test_wider_paths_give_the_baseline_bits(path, size):
    # Every length, so that the groups of vectors, the single vectors and
    # the last few values (of four lanes or eight) all agree.
    rng = np.random.default_rng(size)
    x = rng.normal(0.0, 6.0, size)
    wide = _engine.vector_math(x, path)
    base = _engine.vector_math(x, 0)
    for a, b in zip(wide, base):
        assert a.tobytes() == b.tobytes()
    # Each value does not depend on where it sits in the array (the last
    # part vector overlaps the one before it, and the normal distribution
    # function is worked out in place).
    alone = [_engine.vector_math(x[i:i + 1], path) for i in range(size)]
    for k in range(3):
        assert np.array([a[k][0] for a in alone]).tobytes() == wide[k].tobytes()


def test_the_processors_path_is_its_widest_and_others_are_refused():
    x = np.linspace(-3.0, 3.0, 37)
    for a, b in zip(_engine.vector_math(x, -1), _engine.vector_math(x, AVAILABLE - 1)):
        assert a.tobytes() == b.tobytes()
    for path in (-2, AVAILABLE):
        with pytest.raises(ValueError, match="path must be -1 or below"):
            _engine.vector_math(x, path)


def plain_root_sums(w, h, base):
    # Each point's sum over the rows in order, as the kernel adds them.
    sums = h[0] * w[0]
    for i in range(1, len(h)):
        sums = sums + h[i] * w[i]
    return base - np.sqrt(np.where(sums <= 0.0, 0.0, sums))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("rows, size", [(1, 1), (15, 140), (15, 70), (15, 40), (4, 7), (3, 9),
                                        (15, 17), (2, 35)])
def test_root_weighted_sums_match_the_sums_in_order_on_every_path(path, rows, size):
    rng = np.random.default_rng(rows * 1000 + size)
    w = rng.normal(0.0, 1.0, (rows, size))
    h = rng.uniform(0.0, 0.5, rows)
    expected = plain_root_sums(w, h, -0.25)
    assert _engine.root_weighted_sums(w, h, -0.25, path).tobytes() == expected.tobytes()


def test_root_weighted_sums_take_no_root_of_a_negative_sum_and_keep_nan():
    # Sums of -1, 0, 4 and NaN, in the vectors and in the last few values.
    w = np.array([[-1.0, 0.0, 4.0, math.nan] * 3])
    for path in range(AVAILABLE):
        out = _engine.root_weighted_sums(w, np.array([1.0]), 1.0, path)
        assert list(out[:3]) == [1.0, 1.0, -1.0] * 1 and math.isnan(out[3])
        assert list(out[8:11]) == [1.0, 1.0, -1.0] and math.isnan(out[11])
