#include "vector_math.h"

#include <cmath>
#include <cstring>
#include <utility>

// The vectors never cross a call: every function that takes one is inlined,
// so the note on how AVX vectors are passed does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vornet {

namespace {

// W lanes of doubles and of 64-bit integers, and the doubles at any address
// a double may have (loads and stores of whole vectors: a copy through
// memory in pieces would stall the wide load). Four lanes on the baseline
// path, which the compiler carries in pairs of SSE2 registers, and on the
// AVX2 path, in one register; eight on the AVX-512 path.
template <int W>
struct simd;

template <>
struct simd<4> {
    typedef double lanes __attribute__((vector_size(32)));
    typedef unsigned long long int_lanes __attribute__((vector_size(32)));
    typedef double unaligned __attribute__((vector_size(32), aligned(8)));
};

template <>
struct simd<8> {
    typedef double lanes __attribute__((vector_size(64)));
    typedef unsigned long long int_lanes __attribute__((vector_size(64)));
    typedef double unaligned __attribute__((vector_size(64), aligned(8)));
};

template <int W>
using lanes_of = typename simd<W>::lanes;
template <int W>
using int_lanes_of = typename simd<W>::int_lanes;

// Four lanes: those of the baseline and AVX2 paths, and of the
// interpolation's sums on every path.
constexpr int width = 4;
typedef lanes_of<width> lanes;

constexpr double log2_e = 1.4426950408889634;
constexpr double ln2_hi = 6.93147180369123816490e-01;  // 0x3fe62e42fee00000
constexpr double ln2_lo = 1.90821492927058770002e-10;
// 1.5 * 2^52: adding it rounds to an integer held in the low bits.
constexpr double shifter = 6755399441055744.0;
constexpr unsigned long long shifter_bits = 0x4338000000000000ULL;
constexpr double exp_low = -746.0;   // exp is 0 below
constexpr double exp_high = 710.0;   // and infinite above

// 1/13!, 1/12!, ..., 1/2!, 1, 1.
constexpr double taylor[] = {
    1.6059043836821613e-10, 2.08767569878681e-09, 2.505210838544172e-08,
    2.755731922398589e-07,  2.7557319223985893e-06, 2.48015873015873e-05,
    1.984126984126984e-04,  1.388888888888889e-03, 8.333333333333333e-03,
    4.1666666666666664e-02, 1.6666666666666666e-01, 0.5, 1.0, 1.0,
};

// f(u) = (4 + t) erfcx(t), t = 4 (1 + u) / (1 - u): its Chebyshev series to
// degree 23 written out in powers of u, highest first. The powers' sum of
// magnitudes is 4.0, against f >= 0.56, so the sum loses at most a few units
// in the last place to cancellation.
constexpr double erfcx_scale = 4.0;
constexpr double inv_sqrt_2 = 0.7071067811865476;
constexpr double t_cap = 1e300;  // where f is 1/sqrt(pi) to the last bit
constexpr int erfcx_degree = 23;
constexpr double erfcx_powers[erfcx_degree + 1] = {
    -7.652918351368929e-11, 1.2073816594065525e-09, 7.054882560385151e-10,
    -1.527528889990648e-08, -2.762829273945234e-10, 1.225288207064525e-07,
    -7.440134079315679e-08, -8.436516120561793e-07, 1.4235437808888834e-06,
    4.692383913754639e-06,  -1.8860655174390427e-05, -3.6342038149469713e-06,
    0.00017681276781310884, -0.00045505297165692805, -0.0002809588591250074,
    0.006112055708386392,   -0.02637005334070314,   0.07638151490371081,
    -0.17401093723993213,   0.33085158787831587,    -0.5408538313132345,
    0.7732087022652306,     -0.976548729080882,     1.095995661000491,
};

template <int W = width, std::size_t... I>
inline __attribute__((always_inline)) lanes_of<W> splat_lanes(double v,
                                                             std::index_sequence<I...>) noexcept
{
    return lanes_of<W>{(static_cast<void>(I), v)...};
}

template <int W = width>
inline __attribute__((always_inline)) lanes_of<W> splat(double v) noexcept
{
    return splat_lanes<W>(v, std::make_index_sequence<W>());
}

// sum_i c(i) x^i for i < n, in Estrin's form, whose chain of dependent
// operations is short: pairs c(2i) + c(2i+1) x, then pairs of those with
// x^2, then with x^4, and so on, an odd one out carried up unchanged.
template <int W, int n, class Coefficient>
inline __attribute__((always_inline)) lanes_of<W> estrin(const lanes_of<W> &x,
                                                         Coefficient c) noexcept
{
    static_assert(n % 2 == 0);
    lanes_of<W> terms[n / 2];
    for (int i = 0; i < n / 2; ++i)
        terms[i] = c(2 * i) + c(2 * i + 1) * x;
    lanes_of<W> power = x;
    for (int count = n / 2; count > 1; count = (count + 1) / 2) {
        power = power * power;
        for (int i = 0; i < count / 2; ++i)
            terms[i] = terms[2 * i] + terms[2 * i + 1] * power;
        if (count % 2 != 0)
            terms[count / 2] = terms[count - 1];
    }
    return terms[0];
}

// exp of `group` vectors at once: their polynomials step together, so that
// the chains of dependent operations overlap.
template <int W, int group>
inline __attribute__((always_inline)) void exp_lanes(lanes_of<W> *v) noexcept
{
    typedef lanes_of<W> lanes;
    typedef int_lanes_of<W> int_lanes;
    lanes r[group];
    lanes p[group];
    int_lanes k[group];
    static_assert(sizeof taylor / sizeof taylor[0] == 14);
    for (int j = 0; j < group; ++j) {
        // Comparisons with NaN are false: NaN passes both clamps and stays NaN.
        lanes xc = v[j] < splat<W>(exp_low) ? splat<W>(exp_low) : v[j];
        xc = xc > splat<W>(exp_high) ? splat<W>(exp_high) : xc;
        const lanes t = xc * log2_e + shifter;
        const lanes kd = t - shifter;
        std::memcpy(&k[j], &t, sizeof t);
        k[j] = k[j] - shifter_bits;
        r[j] = (xc - kd * ln2_hi) - kd * ln2_lo;
    }
    // exp(r) by its Taylor polynomial (taylor[] runs from the highest
    // power down).
    for (int j = 0; j < group; ++j)
        p[j] = estrin<W, 14>(r[j], [](int i) { return taylor[13 - i]; });
    for (int j = 0; j < group; ++j) {
        // k = k1 + k2, k1 = floor(k / 2), by a logical shift of k + 2048
        // (positive after the clamps): 64-bit arithmetic shifts have no
        // vector instruction before AVX-512.
        const int_lanes half = (k[j] + 2048) >> 1;  // k1 + 1024
        const int_lanes bits1 = (half - 1) << 52;   // (k1 + 1023) << 52
        const int_lanes bits2 = (k[j] - half + 2047) << 52;
        lanes s1;
        lanes s2;
        std::memcpy(&s1, &bits1, sizeof s1);
        std::memcpy(&s2, &bits2, sizeof s2);
        v[j] = p[j] * s1 * s2;
    }
}

// ln of `group` vectors at once.
constexpr double sqrt2 = 1.4142135623730951;
constexpr double two_54 = 18014398509481984.0;
constexpr double smallest_normal = 2.2250738585072014e-308;
constexpr double two_52 = 4503599627370496.0;
constexpr unsigned long long two_52_bits = 0x4330000000000000ULL;
constexpr unsigned long long mantissa_bits = 0x000fffffffffffffULL;
constexpr unsigned long long one_bits = 0x3ff0000000000000ULL;
constexpr double infinity = __builtin_inf();
// 2/3, 2/5, ..., 2/25: ln m = 2f + f s (2/3 + 2/5 s + ... + 2/25 s^11).
constexpr double atanh_series[] = {
    2.0 / 3.0,  2.0 / 5.0,  2.0 / 7.0,  2.0 / 9.0,  2.0 / 11.0, 2.0 / 13.0,
    2.0 / 15.0, 2.0 / 17.0, 2.0 / 19.0, 2.0 / 21.0, 2.0 / 23.0, 2.0 / 25.0,
};

template <int W, int group>
inline __attribute__((always_inline)) void log_lanes(lanes_of<W> *v) noexcept
{
    typedef lanes_of<W> lanes;
    typedef int_lanes_of<W> int_lanes;
    static_assert(sizeof atanh_series / sizeof atanh_series[0] == 12);
    for (int j = 0; j < group; ++j) {
        const lanes x = v[j];
        // Subnormals scaled into the normal range first (and 2^-54 put back).
        const auto tiny = x < splat<W>(smallest_normal);
        const lanes scaled = tiny ? x * two_54 : x;
        int_lanes bits;
        std::memcpy(&bits, &scaled, sizeof bits);
        // The exponent as a double, exactly: its bits under 2^52's, less 2^52.
        const int_lanes exponent_bits = ((bits >> 52) & 0x7ff) | two_52_bits;
        lanes exponent;
        std::memcpy(&exponent, &exponent_bits, sizeof exponent);
        exponent = exponent - two_52;
        const int_lanes m_bits = (bits & mantissa_bits) | one_bits;
        lanes m;
        std::memcpy(&m, &m_bits, sizeof m);
        const auto big = m > splat<W>(sqrt2);
        m = big ? m * 0.5 : m;
        const lanes k = (exponent - 1023.0) + (big ? splat<W>(1.0) : splat<W>(0.0))
                        - (tiny ? splat<W>(54.0) : splat<W>(0.0));
        const lanes f = (m - 1.0) / (m + 1.0);
        const lanes s = f * f;
        const lanes series = estrin<W, 12>(s, [](int i) { return atanh_series[i]; });
        const lanes ln_m = f * 2.0 + (f * s) * series;
        const lanes r = k * ln2_hi + (ln_m + k * ln2_lo);
        // 0 gives -inf, inf itself, a negative number or NaN gives NaN.
        const lanes special
            = x == 0.0 ? splat<W>(-infinity)
                       : (x == splat<W>(infinity) ? x : splat<W>(__builtin_nan("")));
        v[j] = (x > 0.0) & (x < splat<W>(infinity)) ? r : special;
    }
}

// N of `group` vectors x given g = exp(-x^2/2), into x.
template <int W, int group>
inline __attribute__((always_inline)) void norm_cdf_lanes(lanes_of<W> *x,
                                                          const lanes_of<W> *g) noexcept
{
    typedef lanes_of<W> lanes;
    for (int j = 0; j < group; ++j) {
        lanes t = (x[j] < 0.0 ? -x[j] : x[j]) * inv_sqrt_2;
        t = t > splat<W>(t_cap) ? splat<W>(t_cap) : t;
        const lanes inv = 1.0 / (t + erfcx_scale);
        const lanes u = (t - erfcx_scale) * inv;
        const lanes f = estrin<W, erfcx_degree + 1>(
            u, [](int i) { return erfcx_powers[erfcx_degree - i]; });
        const lanes tail = f * inv * g[j] * 0.5;
        x[j] = x[j] < 0.0 ? tail : 1.0 - tail;
    }
}

// Groups of vectors (sixteen values) a step, then single vectors.
// Op::run<W, size>(v, w) works on v (and reads w). A last part vector is
// the array's last W values, read before anything is written (out may be
// x), and worked out again where they overlap the vectors before, which
// gives the same bits; an array of fewer than W is gathered from its values
// in registers. (Gathered through memory, the wide read would wait for the
// narrow writes.)
template <int W = width>
inline __attribute__((always_inline)) lanes_of<W> load(const double *p) noexcept
{
    return *reinterpret_cast<const typename simd<W>::unaligned *>(p);
}

template <int W = width>
inline __attribute__((always_inline)) void store(double *p, const lanes_of<W> &v) noexcept
{
    *reinterpret_cast<typename simd<W>::unaligned *>(p) = v;
}

template <int W, std::size_t... I>
inline __attribute__((always_inline)) lanes_of<W> gather_lanes(
    const double *p, int count, std::index_sequence<I...>) noexcept
{
    return lanes_of<W>{(static_cast<int>(I) < count ? p[I] : 0.0)...};
}

template <int W>
inline __attribute__((always_inline)) lanes_of<W> gather(const double *p, int count) noexcept
{
    return gather_lanes<W>(p, count, std::make_index_sequence<W>());
}

template <int W, class Op>
inline __attribute__((always_inline)) void map_lanes(const double *x, const double *y,
                                                     double *out, int n) noexcept
{
    typedef lanes_of<W> lanes;
    constexpr int group = 16 / W;
    if (n <= 0)
        return;
    if (n < W) {
        lanes v[1] = {gather<W>(x, n)};
        lanes w[1] = {y != nullptr ? gather<W>(y, n) : splat<W>(0.0)};
        Op::template run<W, 1>(v, w);
        for (int j = 0; j < n; ++j)
            out[j] = v[0][j];
        return;
    }
    const int rest = n % W;
    lanes last_v[1] = {load<W>(x + n - W)};
    lanes last_w[1] = {y != nullptr ? load<W>(y + n - W) : splat<W>(0.0)};
    int i = 0;
    for (; i + group * W <= n; i += group * W) {
        lanes v[group];
        lanes w[group];
        for (int j = 0; j < group; ++j)
            v[j] = load<W>(x + i + W * j);
        for (int j = 0; j < group; ++j)
            w[j] = y != nullptr ? load<W>(y + i + W * j) : splat<W>(0.0);
        Op::template run<W, group>(v, w);
        for (int j = 0; j < group; ++j)
            store<W>(out + i + W * j, v[j]);
    }
    for (; i + W <= n; i += W) {
        lanes v[1] = {load<W>(x + i)};
        lanes w[1] = {y != nullptr ? load<W>(y + i) : splat<W>(0.0)};
        Op::template run<W, 1>(v, w);
        store<W>(out + i, v[0]);
    }
    if (rest != 0) {
        Op::template run<W, 1>(last_v, last_w);
        store<W>(out + n - W, last_v[0]);
    }
}

struct exp_op {
    template <int W, int size>
    static inline __attribute__((always_inline)) void run(lanes_of<W> *v,
                                                          const lanes_of<W> *) noexcept
    {
        exp_lanes<W, size>(v);
    }
};

struct log_op {
    template <int W, int size>
    static inline __attribute__((always_inline)) void run(lanes_of<W> *v,
                                                          const lanes_of<W> *) noexcept
    {
        log_lanes<W, size>(v);
    }
};

struct cdf_op {
    template <int W, int size>
    static inline __attribute__((always_inline)) void run(lanes_of<W> *v,
                                                          const lanes_of<W> *w) noexcept
    {
        norm_cdf_lanes<W, size>(v, w);
    }
};

void exp_base(const double *x, double *out, int n) noexcept
{
    map_lanes<width, exp_op>(x, nullptr, out, n);
}

void log_base(const double *x, double *out, int n) noexcept
{
    map_lanes<width, log_op>(x, nullptr, out, n);
}

void cdf_base(const double *x, const double *g, double *out, int n) noexcept
{
    map_lanes<width, cdf_op>(x, g, out, n);
}

// base - sqrt(max(s, 0)) for one sum s (NaN stays NaN).
inline __attribute__((always_inline)) double less_root(double base, double s) noexcept
{
    return base - std::sqrt(s <= 0.0 ? 0.0 : s);
}

// less_root over a vector: the square roots by the processor's vector
// instruction where there is one (correctly rounded, as the scalar one).
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && defined(__SSE2__)
typedef double half_lanes __attribute__((vector_size(16)));

inline __attribute__((always_inline)) void less_roots(double base, lanes *s) noexcept
{
    const lanes zero = splat(0.0);
    const lanes kept = *s <= zero ? zero : *s;  // NaN compares false: kept
    half_lanes low = {kept[0], kept[1]};
    half_lanes high = {kept[2], kept[3]};
    low = __builtin_ia32_sqrtpd(low);
    high = __builtin_ia32_sqrtpd(high);
    *s = splat(base) - lanes{low[0], low[1], high[0], high[1]};
}
#else
inline __attribute__((always_inline)) void less_roots(double base, lanes *s) noexcept
{
    for (int k = 0; k < width; ++k)
        (*s)[k] = less_root(base, (*s)[k]);
}
#endif

// The sums of `blocks` vectors of points from p on, held in registers while
// the rows go by, each point's sum over the rows in order; then roots, which
// is less_root on each lane.
template <int blocks, class Roots>
inline __attribute__((always_inline)) void root_sums_block(const double *w, const double *h,
                                                           int rows, int size, int p,
                                                           double base, double *out,
                                                           Roots roots) noexcept
{
    lanes acc[blocks];
    for (int b = 0; b < blocks; ++b)
        acc[b] = h[0] * load(w + p + width * b);
    for (int i = 1; i < rows; ++i) {
        const double hi = h[i];
        const double *row = w + i * size + p;
        for (int b = 0; b < blocks; ++b)
            acc[b] = acc[b] + hi * load(row + width * b);
    }
    for (int b = 0; b < blocks; ++b) {
        roots(base, &acc[b]);
        store(out + p + width * b, acc[b]);
    }
}

template <class Roots>
inline __attribute__((always_inline)) void root_sums_loop(const double *w, const double *h,
                                                          int rows, int size, double base,
                                                          double *out, Roots roots) noexcept
{
    // Eight vectors of sums at a time, so that eight chains of additions
    // overlap; then single vectors, the last one overlapping the one before
    // where the points do not fill it (the same sums again, the same bits).
    constexpr int blocks = 8;
    int p = 0;
    for (; p + blocks * width <= size; p += blocks * width)
        root_sums_block<blocks>(w, h, rows, size, p, base, out, roots);
    for (; p + width <= size; p += width)
        root_sums_block<1>(w, h, rows, size, p, base, out, roots);
    if (p < size && size >= width) {
        root_sums_block<1>(w, h, rows, size, size - width, base, out, roots);
        return;
    }
    for (; p < size; ++p) {
        double acc = h[0] * w[p];
        for (int i = 1; i < rows; ++i)
            acc = acc + h[i] * w[i * size + p];
        out[p] = less_root(base, acc);
    }
}

void root_sums_base(const double *w, const double *h, int rows, int size, double base,
                    double *out) noexcept
{
    root_sums_loop(w, h, rows, size, base, out,
                   [](double b, lanes *v) { less_roots(b, v); });
}

using exp_kernel = void (*)(const double *, double *, int) noexcept;
using log_kernel = exp_kernel;
using cdf_kernel = void (*)(const double *, const double *, double *, int) noexcept;
using root_sums_kernel = void (*)(const double *, const double *, int, int, double,
                                  double *) noexcept;

struct kernels {
    exp_kernel exp;
    log_kernel log;
    cdf_kernel cdf;
    root_sums_kernel root_sums;
};

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
__attribute__((target("avx2"))) void exp_avx2(const double *x, double *out, int n) noexcept
{
    map_lanes<width, exp_op>(x, nullptr, out, n);
}

__attribute__((target("avx2"))) void log_avx2(const double *x, double *out, int n) noexcept
{
    map_lanes<width, log_op>(x, nullptr, out, n);
}

__attribute__((target("avx2"))) void cdf_avx2(const double *x, const double *g, double *out,
                                              int n) noexcept
{
    map_lanes<width, cdf_op>(x, g, out, n);
}

// Eight lanes to a register: the polynomials in half the instructions, with
// registers enough for their coefficients.
__attribute__((target("avx512f"))) void exp_avx512(const double *x, double *out, int n) noexcept
{
    map_lanes<8, exp_op>(x, nullptr, out, n);
}

__attribute__((target("avx512f"))) void log_avx512(const double *x, double *out, int n) noexcept
{
    map_lanes<8, log_op>(x, nullptr, out, n);
}

__attribute__((target("avx512f"))) void cdf_avx512(const double *x, const double *g,
                                                   double *out, int n) noexcept
{
    map_lanes<8, cdf_op>(x, g, out, n);
}

// less_roots with the four square roots in one instruction.
__attribute__((target("avx2"))) inline __attribute__((always_inline)) void
less_roots_avx2(double base, lanes *s) noexcept
{
    const lanes zero = splat(0.0);
    const lanes kept = *s <= zero ? zero : *s;  // NaN compares false: kept
    *s = splat(base) - __builtin_ia32_sqrtpd256(kept);
}

__attribute__((target("avx2"))) void root_sums_avx2(const double *w, const double *h, int rows,
                                                    int size, double base,
                                                    double *out) noexcept
{
    root_sums_loop(w, h, rows, size, base, out,
                   [](double b, lanes *v) __attribute__((target("avx2"))) {
                       less_roots_avx2(b, v);
                   });
}

constexpr kernels paths[] = {
    {exp_base, log_base, cdf_base, root_sums_base},
    {exp_avx2, log_avx2, cdf_avx2, root_sums_avx2},
    {exp_avx512, log_avx512, cdf_avx512, root_sums_avx2},
};

// How many of the paths this processor can take: the baseline, then AVX2,
// then AVX-512 (with AVX2 for the interpolation's sums).
int count_paths() noexcept
{
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2"))
        return 1;
    return __builtin_cpu_supports("avx512f") ? 3 : 2;
}
#else
constexpr kernels paths[] = {{exp_base, log_base, cdf_base, root_sums_base}};

int count_paths() noexcept { return 1; }
#endif

int available_paths() noexcept
{
    static const int count = count_paths();
    return count;
}

// The widest path, or the one asked for where the processor has it, else
// the baseline.
const kernels &chosen(int path = -1) noexcept
{
    const int count = available_paths();
    return paths[path < 0 ? count - 1 : (path < count ? path : 0)];
}

}  // namespace

void exp_array(const double *x, double *out, int n) noexcept { chosen().exp(x, out, n); }

void log_array(const double *x, double *out, int n) noexcept { chosen().log(x, out, n); }

void norm_cdf_array(const double *x, const double *g, double *out, int n) noexcept
{
    chosen().cdf(x, g, out, n);
}

void root_weighted_sums(const double *w, const double *h, int rows, int size, double base,
                        double *out) noexcept
{
    chosen().root_sums(w, h, rows, size, base, out);
}

int vector_paths() noexcept { return available_paths(); }

void exp_array_on(int path, const double *x, double *out, int n) noexcept
{
    chosen(path).exp(x, out, n);
}

void log_array_on(int path, const double *x, double *out, int n) noexcept
{
    chosen(path).log(x, out, n);
}

void norm_cdf_array_on(int path, const double *x, const double *g, double *out, int n) noexcept
{
    chosen(path).cdf(x, g, out, n);
}

void root_weighted_sums_on(int path, const double *w, const double *h, int rows, int size,
                           double base, double *out) noexcept
{
    chosen(path).root_sums(w, h, rows, size, base, out);
}

}  // namespace vornet
