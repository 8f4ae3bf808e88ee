#include "american_integral.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include "chebyshev.h"
#include "dual_number.h"
#include "gauss_legendre.h"
#include "normal.h"
#include "option_flag.h"
#include "vector_math.h"

namespace vornet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inv_sqrt_2pi = 0.3989422804014327;
constexpr int max_points = 128;
constexpr int max_nodes = chebyshev_max_nodes;

// QD+ at each node: at most this many evaluations in the search for a lower
// end and steps of the root's iteration, which stops once a step of Newton's
// in ln S is below the tolerance (the step taken, Newton's convergence leaves
// the root some 1e-6 away, while QD+'s root itself lies a median 2e-3 from
// the fixed point that the sweeps go on to), or
// once the bracket is narrower than qd_bracket: where the root sits at the
// end of the premium (deep in the money, long-dated), Newton's steps leave
// the bracket and bisection must run to the end, or the start, and with it
// the price, would jump as the inputs move.
constexpr int qd_search_steps = 60;
constexpr int qd_steps = 40;
constexpr double qd_tolerance = 1e-3;
constexpr double qd_bracket = 1e-9;

// The fixed-point sweep takes the Newton step where the map's slope in ln b
// is below this, else the plain one: there the plain step overshoots and
// oscillates (and at a low volatility, where the slope is large, diverges),
// while elsewhere the plain step converges as fast, sharing the interpolant
// with the other nodes.
constexpr double newton_slope_limit = -0.5;

// The first sweeps only need to bring QD+'s start near the fixed point, so
// they take half the boundary's quadrature points (rounded up): at most
// three of them, and never the last two sweeps, which work at the full
// count. (With the sweeps of each rule mixed, two and two land where five
// full sweeps do on the options of the tests; at a volatility of 10 %,
// where the fixed point converges slowest, a little closer.)
constexpr int max_coarse_sweeps = 3;

constexpr int coarse_points(int points) noexcept { return (points + 1) / 2; }

constexpr int coarse_sweeps(int iterations) noexcept
{
    return iterations - 2 < max_coarse_sweeps ? (iterations > 2 ? iterations - 2 : 0)
                                              : max_coarse_sweeps;
}

// A Gauss-Legendre rule carried over u in [0, tau] by
// u = tau (1+y)^2 (2-y)/4: with c = u/tau,
//   int_0^tau g(u) du               ~ tau      sum flat_k g(u_k),
//   int_0^tau g(u) / sqrt(tau-u) du ~ sqrt(tau) sum singular_k g(u_k).
struct mapped_rule {
    int size;
    double c[max_points];          // u / tau
    double c_bar[max_points];      // 1 - u/tau = (1-y)^2 (2+y)/4, without the cancellation
    double root_c[max_points];     // sqrt(u / tau)
    double root_c_bar[max_points]; // sqrt(1 - u / tau)
    double inv_root_c_bar[max_points];
    double flat[max_points];       // w 3 (1 - y^2) / 4
    double singular[max_points];   // w 3 (1 + y) / (2 sqrt(2 + y))
};

void map_rule(int size, mapped_rule &m) noexcept
{
    const gauss_legendre_rule rule = gauss_legendre(size);
    m.size = rule.size;
    for (int k = 0; k < rule.size; ++k) {
        const double y = rule.nodes[k];
        const double w = rule.weights[k];
        m.c[k] = (1.0 + y) * (1.0 + y) * (2.0 - y) * 0.25;
        m.c_bar[k] = (1.0 - y) * (1.0 - y) * (2.0 + y) * 0.25;
        m.root_c[k] = (1.0 + y) * std::sqrt(2.0 - y) * 0.5;
        m.root_c_bar[k] = (1.0 - y) * std::sqrt(2.0 + y) * 0.5;
        m.inv_root_c_bar[k] = 2.0 / ((1.0 - y) * std::sqrt(2.0 + y));
        m.flat[k] = w * 0.75 * ((1.0 - y) * (1.0 + y));
        m.singular[k] = w * 1.5 * (1.0 + y) / std::sqrt(2.0 + y);
    }
}

mapped_rule make_rule(int size) noexcept
{
    mapped_rule m;
    map_rule(size, m);
    return m;
}

// The rule of `size` points: the package's sizes mapped once, any other
// into `scratch`.
const mapped_rule &rule_of(int size, mapped_rule &scratch) noexcept;

// exp, ln and N over arrays of numbers of type R: the values four at a time
// (vector_math.h), a dual's derivative beside them. At most max_batch.
constexpr int max_batch = 1024;

inline void exp_n(const double *x, double *out, int n) noexcept { exp_array(x, out, n); }

inline void log_n(const double *x, double *out, int n) noexcept { log_array(x, out, n); }

// The compiler cannot tell that the array functions read only the n values
// filled in here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// f over duals: the values by the array function, each derivative from the
// dual and its value's result, slope(x, f(x.v)).
template <class Array, class Slope>
inline void map_duals(const dual *x, dual *out, int n, Array array, Slope slope) noexcept
{
    double v[max_batch];
    for (int i = 0; i < n; ++i)
        v[i] = x[i].v;
    array(v, v, n);
    for (int i = 0; i < n; ++i)
        out[i] = {v[i], slope(x[i], v[i])};
}

inline void exp_n(const dual *x, dual *out, int n) noexcept
{
    map_duals(x, out, n, exp_array, [](dual a, double e) { return e * a.d; });
}

inline void log_n(const dual *x, dual *out, int n) noexcept
{
    map_duals(x, out, n, log_array, [](dual a, double) { return a.d / a.v; });
}

// out[i] = N(x[i]) given g[i] = exp(-x[i]^2 / 2).
inline void norm_cdf_n(const double *x, const double *g, double *out, int n) noexcept
{
    norm_cdf_array(x, g, out, n);
}

inline void norm_cdf_n(const dual *x, const dual *g, dual *out, int n) noexcept
{
    double v[max_batch];
    double e[max_batch];
    for (int i = 0; i < n; ++i) {
        v[i] = x[i].v;
        e[i] = g[i].v;
    }
    norm_cdf_array(v, e, v, n);
    for (int i = 0; i < n; ++i)
        out[i] = {v[i], e[i] * inv_sqrt_2pi * x[i].d};
}
#pragma GCC diagnostic pop

template <class R>
R positive_part(R x) noexcept
{
    return value_of(x) > 0.0 ? x : x * 0.0;
}

// The put of strike 1 with a boundary: T, r, q and vol as numbers of type R
// (a dual carries the derivative along one of them).
template <class R>
struct put_model {
    R T;
    R root_T;
    R r;
    R q;
    R vol;
    R ln_X;        // ln B(0+) = ln min(1, r/q)
    bool r_zero;   // r == 0: no rate integral
    bool q_zero;   // q == 0: no dividend integral
};

// ln B(u) on the Chebyshev interpolant of H = ln(B/X)^2 at x = 2 sqrt(u/T) - 1:
// its values at the nodes (H[0] at x = 1, u = T) and, where asked for, its
// coefficients.
template <class R>
struct put_boundary {
    int n;
    R ln_X;
    R H[max_nodes + 1];
    R a[max_nodes + 1];
};

// ln B(T), the node value itself.
template <class R>
R ln_boundary_at_expiry(const put_boundary<R> &b) noexcept
{
    return b.ln_X - d_sqrt(positive_part(b.H[0]));
}

template <class R>
R ln_boundary(const put_boundary<R> &b, double x) noexcept
{
    return b.ln_X - d_sqrt(positive_part(chebyshev_sum(b.a, b.n, x)));
}

// ln B at count points at once.
template <class R>
void ln_boundaries(const put_boundary<R> &b, const double *x, int count, R *out) noexcept
{
    chebyshev_sums<R, max_points>(b.a, b.n, x, count, out);
    for (int i = 0; i < count; ++i)
        out[i] = b.ln_X - d_sqrt(positive_part(out[i]));
}

// QD+ at time tau, in x = ln S: the root of
//   F(S) = S (1 - e^{-q tau} N(-d+)) + (lambda + c0) (1 - S - p(S)),
// the condition that p(S) + (1 - S - p(S)) (S/S*)^(lambda + c0) meets 1 - S
// with slope -1, where p is the European put, lambda the root of the
// quadratic approximation and c0 Li's correction from the time derivative
// of the premium. F is negative below the root and positive above it up to
// where the premium 1 - S - p(S) vanishes (where c0 has a pole), and is
// taken as positive beyond. The terms that depend on tau alone are worked
// out once per node.
template <class R>
struct qd_plus_node {
    R inv_st;          // 1 / (v sqrt(tau))
    R half_st;         // v sqrt(tau) / 2
    R drift_tau;       // (r - q) tau
    R e_q;             // exp(-q tau)
    R e_r;             // exp(-r tau)
    R vol_term;        // v / (2 sqrt(tau))
    R two_over_v2;     // 2 / v^2
    R c0_constant;     // (1 - h) alpha_h - (1 - h) alpha_h^2 / root^2
    R inv_root;        // 1 / root, root = sqrt(beta1^2 + 4 alpha / h)
    R lambda;
};

template <class R>
qd_plus_node<R> qd_plus_terms(const put_model<R> &m, R tau, R root_tau) noexcept
{
    qd_plus_node<R> t;
    const R st = m.vol * root_tau;
    t.inv_st = 1.0 / st;
    t.half_st = st * 0.5;
    t.drift_tau = (m.r - m.q) * tau;
    t.e_q = d_exp(0.0 - m.q * tau);
    t.e_r = d_exp(0.0 - m.r * tau);
    t.vol_term = m.vol / (2.0 * root_tau);
    const R v2 = m.vol * m.vol;
    t.two_over_v2 = 2.0 / v2;
    // alpha_h = 2 r / (v^2 h), h = 1 - e^{-r tau}; 2 / (v^2 tau) at r = 0.
    const R h = 0.0 - d_expm1(0.0 - m.r * tau);
    const R alpha_h = m.r_zero ? 2.0 / (v2 * tau) : 2.0 * m.r / (v2 * h);
    const R one_h = 1.0 - h;
    const R beta1 = 2.0 * (m.r - m.q) / v2 - 1.0;
    const R root = d_sqrt(beta1 * beta1 + 4.0 * alpha_h);
    t.c0_constant = one_h * alpha_h - one_h * alpha_h * alpha_h / (root * root);
    t.inv_root = 1.0 / root;
    t.lambda = (0.0 - beta1 - root) * 0.5;
    return t;
}

// F at x for `count` nodes at once (node terms t[i], points x[i]): f[i],
// dF/dx with c0 held in held_dx[i] (for the search's steps), and dF/dx with
// c0 moving as well in df_dx[i] (for Newton's): with the premium P and
//   theta' = e^{-q tau} [(q - r) phi(d+) / (v sqrt tau) - q N(-d+)
//                        - v phi(d+) (1 - d+ / (v sqrt tau)) / (2 sqrt tau)],
//   c0' P = -(2 / v^2) (theta' + theta held / P) / root, P' = -held. S and the densities of d+ and d- for
// every node in one batch, then N(-d+) and N(-d-) in another.
template <class R>
void qd_plus_residuals(const put_model<R> &m, const qd_plus_node<R> *terms, const int *active,
                       const R *x, int count, R *f, R *held_dx, R *df_dx) noexcept
{
    R e[3 * max_nodes];
    R d[2 * max_nodes];
    for (int i = 0; i < count; ++i) {
        const qd_plus_node<R> &t = terms[active[i]];
        const R dp = (x[i] + t.drift_tau) * t.inv_st + t.half_st;
        const R dm = dp - (t.half_st + t.half_st);
        e[i] = x[i];
        e[count + i] = dp * dp * -0.5;
        e[2 * count + i] = dm * dm * -0.5;
        d[i] = 0.0 - dp;
        d[count + i] = 0.0 - dm;
    }
    exp_n(e, e, 3 * count);
    norm_cdf_n(d, e + count, d, 2 * count);
    for (int i = 0; i < count; ++i) {
        const qd_plus_node<R> &t = terms[active[i]];
        const R S = e[i];
        const R density = e[count + i] * inv_sqrt_2pi;
        const R n_mdp = d[i];
        const R n_mdm = d[count + i];
        const R premium = 1.0 - S - (t.e_r * n_mdm - S * t.e_q * n_mdp);
        if (!(value_of(premium) > 0.0)) {
            held_dx[i] = premium * 0.0;
            df_dx[i] = held_dx[i];
            f[i] = held_dx[i] + 1.0;
            continue;
        }
        const R theta = m.r * t.e_r * n_mdm - m.q * S * t.e_q * n_mdp
                        - S * t.e_q * density * t.vol_term;
        const R c0 = (t.c0_constant - t.two_over_v2 * theta / premium) * t.inv_root;
        const R held = 1.0 - t.e_q * n_mdp;
        const R slope = held * (1.0 - t.lambda - c0) + t.e_q * density * t.inv_st;
        held_dx[i] = S * slope;
        const R dp = (x[i] + t.drift_tau) * t.inv_st + t.half_st;
        const R theta_slope = t.e_q * ((m.q - m.r) * density * t.inv_st - m.q * n_mdp
                                       - t.vol_term * density * (1.0 - dp * t.inv_st));
        const R c0_term = (0.0 - t.two_over_v2) * (theta_slope + theta * held / premium)
                          * t.inv_root;
        df_dx[i] = S * (slope + c0_term);
        f[i] = S * held + (t.lambda + c0) * premium;
    }
}

// A first guess at ln X - ln B(tau), from the boundary's limits: near
// expiry, ln(K/B) ~ v sqrt(tau ln(v^2 / (8 pi tau (r-q)^2))) where r > q (a
// factor of at least 1 on v sqrt(tau) kept where the logarithm is small,
// and 1.5 where r <= q), and at long times the perpetual boundary
// B = lambda / (lambda - 1), lambda the negative root of
// v^2 l^2 / 2 + (r - q - v^2/2) l - r = 0 (where r > 0). The two are
// combined as resistances in parallel; the search and Newton's method make
// up the rest. The parts that do not depend on tau are worked out once.
template <class R>
struct start_limits {
    double log_scale;  // ln(v^2 / (8 pi (r-q)^2)) where r > q
    R far;             // ln X - ln B(inf), where positive (else 0)
};

template <class R>
start_limits<R> start_limits_of(const put_model<R> &m) noexcept
{
    const double v = value_of(m.vol);
    const double r = value_of(m.r);
    const double q = value_of(m.q);
    start_limits<R> l;
    l.log_scale = r > q ? std::log(v * v / (8.0 * 3.141592653589793 * (r - q) * (r - q))) : 0.0;
    l.far = m.vol * 0.0;
    if (r > 0.0) {
        const R k = (m.r - m.q) / (m.vol * m.vol) - 0.5;
        const R lambda = (0.0 - k) - d_sqrt(k * k + 2.0 * m.r / (m.vol * m.vol));
        const R far = m.ln_X - d_log(lambda / (lambda - 1.0));
        if (value_of(far) > 0.0)
            l.far = far;
    }
    return l;
}

template <class R>
R start_distance(const put_model<R> &m, const start_limits<R> &l, double ln_tau,
                 R root_tau) noexcept
{
    double factor = 1.5;
    if (value_of(m.r) > value_of(m.q)) {
        const double a = l.log_scale - ln_tau;
        factor = a > 1.0 ? std::sqrt(a) : 1.0;
    }
    const R near = m.vol * root_tau * factor;
    if (!(value_of(l.far) > 0.0))
        return near;
    return near * l.far / (near + l.far);
}

// The roots at `count` nodes (times tau, from x0 < ln X), the nodes side by
// side so that their residuals are worked out together; each node follows
// its own course: Newton's method in x kept inside a bracket (a step that
// would leave it, or go the wrong way, bisects it), the lower end found
// first by stepping down while F is positive: Newton's step on the slope
// with c0 held, or where that fails or goes further, the distance below X
// doubled. A node ends with a Newton step below qd_tolerance (taken,
// without a further evaluation), a bracket narrower than qd_bracket, or
// after qd_steps steps.
template <class R>
void qd_plus_boundaries(const put_model<R> &m, const R *tau, const R *root_tau, const R *x0,
                        int count, R *out) noexcept
{
    enum class phase : std::int8_t { search, newton, done };
    qd_plus_node<R> terms[max_nodes];
    R lo[max_nodes];
    R hi[max_nodes];
    R x[max_nodes];  // where F was last asked for
    int evaluations[max_nodes];
    int steps[max_nodes];
    phase state[max_nodes];
    for (int i = 0; i < count; ++i) {
        terms[i] = qd_plus_terms(m, tau[i], root_tau[i]);
        hi[i] = m.ln_X;
        lo[i] = x0[i];
        x[i] = x0[i];
        evaluations[i] = 0;
        steps[i] = 0;
        state[i] = phase::search;
    }
    // The nodes still going, packed for each round's residuals.
    int active[max_nodes];
    R x_batch[max_nodes];
    R f_batch[max_nodes];
    R held_batch[max_nodes];
    R df_dx_batch[max_nodes];
    for (;;) {
        int size = 0;
        for (int i = 0; i < count; ++i) {
            if (state[i] == phase::done)
                continue;
            active[size] = i;
            x_batch[size] = x[i];
            ++size;
        }
        if (size == 0)
            break;
        qd_plus_residuals(m, terms, active, x_batch, size, f_batch, held_batch, df_dx_batch);
        for (int a = 0; a < size; ++a) {
            const int i = active[a];
            const R f = f_batch[a];
            const R held_dx = held_batch[a];
            const R df_dx = df_dx_batch[a];
            ++evaluations[i];
            if (state[i] == phase::search) {
                if (value_of(f) > 0.0) {
                    if (evaluations[i] == qd_search_steps) {
                        out[i] = x[i];
                        state[i] = phase::done;
                        continue;
                    }
                    // Below: Newton's step down where it stays within twice
                    // the distance from X, else that distance doubled.
                    hi[i] = lo[i];
                    const R doubled = m.ln_X + (lo[i] - m.ln_X) * 2.0;
                    const R newton = x[i] - f / held_dx;
                    lo[i] = value_of(held_dx) > 0.0 && value_of(newton) < value_of(x[i])
                                    && value_of(newton) > value_of(doubled)
                                ? newton
                                : doubled;
                    x[i] = lo[i];
                    continue;
                }
                state[i] = phase::newton;
            } else if (value_of(f) > 0.0) {
                hi[i] = x[i];
            } else {
                lo[i] = x[i];
            }
            R next = x[i] - f / df_dx;
            bool bisected = false;
            if (!(value_of(df_dx) > 0.0) || !(value_of(next) > value_of(lo[i]))
                || !(value_of(next) < value_of(hi[i]))) {
                next = (lo[i] + hi[i]) * 0.5;
                bisected = true;
            }
            const double step = std::fabs(value_of(next) - value_of(x[i]));
            x[i] = next;
            ++steps[i];
            // Only a short step of Newton's says the root is near.
            if ((step < qd_tolerance && !bisected)
                || !(value_of(hi[i]) - value_of(lo[i]) > qd_bracket) || steps[i] == qd_steps) {
                out[i] = next;
                state[i] = phase::done;
            }
        }
    }
}

// The interpolant of H at every quadrature point of every node as weights
// on the node values, p(x_jk) = sum_i w_jki H_i: the points
// x_jk = (1 + x_j) sqrt(c_k) - 1 depend on the settings alone, so the
// weights are worked out once, for the package's settings, and a sweep's
// interpolation is a sum over the nodes without the coefficients. The
// premium's points are node 0's (x_0 = 1, tau = T) of its own rule, so that
// its table is the same with one node.
constexpr int table_nodes = integral_default.nodes;
constexpr int table_points = integral_default.boundary_points;
static_assert(integral_default.price_points <= table_nodes * table_points);

struct interpolation_table {
    int size;  // points in a row: the first nodes' points, at most n m
    // weight[i * size + j * m + k]: node value i, node j's point k, so that
    // the sum over i runs along every node's points at once
    double weight[(table_nodes + 1) * table_nodes * table_points];
};

// The table of the first `nodes` nodes' points of the m-point rule.
interpolation_table make_interpolation_table(int m, int nodes) noexcept
{
    interpolation_table t{};
    t.size = nodes * m;
    const int n = table_nodes;
    mapped_rule rule;
    map_rule(m, rule);
    double unit[max_nodes + 1];
    double a[max_nodes + 1];
    for (int i = 0; i <= n; ++i) {
        for (int l = 0; l <= n; ++l)
            unit[l] = l == i ? 1.0 : 0.0;
        chebyshev_coefficients(unit, n, a);
        for (int j = 0; j < nodes; ++j) {
            const double x = chebyshev_cos(n, j);
            for (int k = 0; k < m; ++k)
                t.weight[i * t.size + j * m + k]
                    = chebyshev_sum(a, n, (1.0 + x) * rule.root_c[k] - 1.0);
        }
    }
    return t;
}

// The premium's table, for the package's nodes and price points, else none.
const interpolation_table *premium_interpolation_for(int nodes, int points) noexcept
{
    if (nodes != table_nodes || points != integral_default.price_points)
        return nullptr;
    static const interpolation_table premium
        = make_interpolation_table(integral_default.price_points, 1);
    return &premium;
}

// The table for the package's nodes and points, or for its coarse sweeps'
// points (coarse_points), else none.
const interpolation_table *interpolation_for(int nodes, int points) noexcept
{
    if (nodes != table_nodes)
        return nullptr;
    if (points == table_points) {
        static const interpolation_table fine
            = make_interpolation_table(table_points, table_nodes);
        return &fine;
    }
    if (points == coarse_points(table_points)) {
        static const interpolation_table coarse
            = make_interpolation_table(coarse_points(table_points), table_nodes);
        return &coarse;
    }
    return nullptr;
}

const mapped_rule &rule_of(int size, mapped_rule &scratch) noexcept
{
    if (size == table_points) {
        static const mapped_rule fine = make_rule(table_points);
        return fine;
    }
    if (size == coarse_points(table_points)) {
        static const mapped_rule coarse = make_rule(coarse_points(table_points));
        return coarse;
    }
    if (size == integral_default.price_points) {
        static const mapped_rule price = make_rule(integral_default.price_points);
        return price;
    }
    map_rule(size, scratch);
    return scratch;
}

// ln B at every node's quadrature points (node j's from out[j * m]) from
// the node values H.
inline void ln_boundaries_from_table(const interpolation_table &t, const double *H,
                                     double ln_X, double *out) noexcept
{
    root_weighted_sums(t.weight, H, table_nodes + 1, t.size, ln_X, out);
}

template <class R>
void ln_boundaries_from_table(const interpolation_table &t, const R *H, R ln_X, R *out) noexcept
{
    const int size = t.size;
    const double *w = t.weight;
    for (int p = 0; p < size; ++p)
        out[p] = H[0] * w[p];
    for (int i = 1; i <= table_nodes; ++i) {
        const R h = H[i];
        const double *row = w + i * size;
        for (int p = 0; p < size; ++p)
            out[p] = out[p] + h * row[p];
    }
    for (int p = 0; p < size; ++p)
        out[p] = ln_X - d_sqrt(positive_part(out[p]));
}

// The parts of the boundary's integrands at one node that do not depend on
// the boundary, worked out once per price and read by every sweep: at the
// node's quadrature points u_k, with s_k = tau - u_k,
//   d+(s_k, z) = ln z / (v sqrt s_k) + shift_k,
//   shift_k = (r - q) s_k / (v sqrt s_k) + v sqrt s_k / 2,
// and the interpolant's abscissae 2 sqrt(u_k / T) - 1.
constexpr int max_cached_terms = max_batch;

template <class R>
struct node_terms {
    double x[max_cached_terms];
    R inv_vs[max_cached_terms];   // 1 / (v sqrt s_k)
    R shift[max_cached_terms];
    R e_qu[max_cached_terms];     // exp(q u_k)
};

// The per-node factors, boundary aside.
template <class R>
struct node_factors {
    R st;          // v sqrt(tau)
    R inv_st;      // 1 / (v sqrt(tau))
    R drift_tau;   // (r - q) tau
    R rate_factor; // r exp((r-q) tau) sqrt(tau) / (v sqrt(2 pi))
    R scale;       // sqrt(tau) / (v sqrt(2 pi))
};

// A node's terms from `slot` on, but for e_qu, which holds q u_k until
// exp_terms takes the exponentials of a run of slots at once.
template <class R>
void fill_node_terms(const put_model<R> &m, const mapped_rule &rule, double x, R tau,
                     R root_tau, node_terms<R> &t, int slot) noexcept
{
    const R st = m.vol * root_tau;
    const R inv_st = 1.0 / st;
    const R drift_tau = (m.r - m.q) * tau;
    const R q_tau = m.q * tau;
    for (int k = 0; k < rule.size; ++k) {
        const int i = slot + k;
        t.x[i] = (1.0 + x) * rule.root_c[k] - 1.0;
        t.inv_vs[i] = inv_st * rule.inv_root_c_bar[k];
        t.shift[i] = drift_tau * rule.c_bar[k] * t.inv_vs[i] + st * rule.root_c_bar[k] * 0.5;
        if (!m.q_zero)
            t.e_qu[i] = q_tau * rule.c[k];
    }
}

template <class R>
void exp_terms(const put_model<R> &m, node_terms<R> &t, int slot, int count) noexcept
{
    if (!m.q_zero)
        exp_n(t.e_qu + slot, t.e_qu + slot, count);
}

// One fixed-point sweep over `count` nodes from `first` (times tau), whose
// terms are t's from its first slot: next[j] is ln of
// f = exp(-(r-q) tau) N / D with B(tau) = exp(ln_b[j]) and ln B(u) the
// interpolant's at the node's points (ln_B, the nodes' points one after
// another), or, where the slope of ln f
// in ln b is below newton_slope_limit, a Newton step on ln b - ln f(ln b)
// with the interpolant held (a Jacobi-Newton step): the derivative of ln f
// in ln b comes with the same terms. The rate integral is written with
// phi(d-) = z e^{(r-q) s} phi(d+), z = B(tau)/B(u), s = tau - u, so that each
// point needs the density and z times it; d+ moves with ln b at the rate
// 1 / (v sqrt s). The exponentials and N of every point are worked out
// together, before the sums.
template <class R>
void sweep_nodes(const put_model<R> &m, const mapped_rule &rule, const node_terms<R> &t,
                 const node_factors<R> *factors, const R *tau, const R *ln_b,
                 const R *ln_B, int first, int count, R *next) noexcept
{
    const int l = rule.size;
    const int size = count * l;
    R d[max_batch];
    R phi[max_batch];    // exp(-d^2/2)
    R z_phi[max_batch];  // z exp(-d^2/2)
    R cdf[max_batch];    // N(d)
    for (int c = 0; c < count; ++c) {
        const R b = ln_b[first + c];
        for (int k = 0; k < l; ++k) {
            const int i = c * l + k;
            const R ln_z = b - ln_B[i];
            d[i] = ln_z * t.inv_vs[i] + t.shift[i];
            phi[i] = d[i] * d[i] * -0.5;
            z_phi[i] = phi[i] + ln_z;
        }
    }
    exp_n(phi, phi, size);
    if (!m.r_zero)
        exp_n(z_phi, z_phi, size);
    if (!m.q_zero)
        norm_cdf_n(d, phi, cdf, size);
    // The nodes' own terms: d- and d+ of B(tau)/K, their densities, N(d+).
    R node_d[2 * max_nodes];
    R node_g[2 * max_nodes];
    R node_cdf[max_nodes];
    for (int c = 0; c < count; ++c) {
        const node_factors<R> &f = factors[first + c];
        const R dp = (ln_b[first + c] + f.drift_tau) * f.inv_st + f.st * 0.5;
        const R dm = dp - f.st;
        node_d[c] = dm;
        node_d[count + c] = dp;
        node_g[c] = dm * dm * -0.5;
        node_g[count + c] = dp * dp * -0.5;
    }
    exp_n(node_g, node_g, 2 * count);
    norm_cdf_n(node_d + count, node_g + count, node_cdf, count);
    // f = N / D at every node, then their logarithms together, and the
    // slope of ln f in ln b.
    R ratio[max_nodes];
    R slope[max_nodes];
    for (int c = 0; c < count; ++c) {
        const int j = first + c;
        const node_factors<R> &f = factors[j];
        const R dm = node_d[c];
        const R dp = node_d[count + c];
        const R phi_m = node_g[c] * inv_sqrt_2pi * f.inv_st;
        const R phi_p = node_g[count + c] * inv_sqrt_2pi * f.inv_st;
        R num = phi_m;
        R num_slope = (0.0 - dm) * f.inv_st * phi_m;
        R den = phi_p + node_cdf[c];
        R den_slope = phi_p - dp * f.inv_st * phi_p;
        if (!(m.r_zero && m.q_zero)) {
            R sum_rate = dm * 0.0;
            R sum_rate_slope = sum_rate;
            R sum_density = sum_rate;
            R sum_density_slope = sum_rate;
            R sum_cdf = sum_rate;
            R sum_cdf_slope = sum_rate;
            for (int k = 0; k < l; ++k) {
                const int i = c * l + k;
                const R d_over = d[i] * t.inv_vs[i];
                if (!m.r_zero) {
                    const R term
                        = rule.singular[k] * (m.q_zero ? z_phi[i] : t.e_qu[i] * z_phi[i]);
                    sum_rate = sum_rate + term;
                    sum_rate_slope = sum_rate_slope + term * (1.0 - d_over);
                }
                if (!m.q_zero) {
                    const R density = t.e_qu[i] * phi[i];
                    const R term = rule.singular[k] * density;
                    sum_density = sum_density + term;
                    sum_density_slope = sum_density_slope - term * d_over;
                    sum_cdf = sum_cdf + rule.flat[k] * (t.e_qu[i] * cdf[i]);
                    sum_cdf_slope = sum_cdf_slope + rule.flat[k] * (density * t.inv_vs[i]);
                }
            }
            if (!m.r_zero) {
                num = num + f.rate_factor * sum_rate;
                num_slope = num_slope + f.rate_factor * sum_rate_slope;
            }
            if (!m.q_zero) {
                den = den + m.q * (f.scale * sum_density + tau[j] * sum_cdf);
                den_slope = den_slope + m.q * (f.scale * sum_density_slope
                                               + tau[j] * inv_sqrt_2pi * sum_cdf_slope);
            }
        }
        ratio[c] = num / den;
        slope[c] = num_slope / num - den_slope / den;
    }
    log_n(ratio, ratio, count);
    for (int c = 0; c < count; ++c) {
        const int j = first + c;
        const R ln_f = ratio[c] - factors[j].drift_tau;
        R step = ln_f;
        if (value_of(slope[c]) < newton_slope_limit)
            step = ln_b[j] - (ln_b[j] - ln_f) / (1.0 - slope[c]);
        if (!(value_of(step) < value_of(m.ln_X)))
            step = m.ln_X;
        next[j] = step;
    }
}

// Anderson's mixing of depth one for the sweeps x -> g(x): with the last
// sweep's x' and g' = g(x') and residuals f = g - x, f' = g' - x', the next
// point is g - gamma (g - g'), gamma = f.(f - f') / |f - f'|^2, the
// combination of the two sweeps whose residuals (taken as linear) cancel
// best. The sweeps alone shrink the error by a factor of about 0.2 to 0.3;
// mixed, the low volatilities (where they are slowest) gain most.
template <class R>
struct anderson_memory {
    R g[max_nodes + 1];  // the last sweep's result
    R f[max_nodes + 1];  // and its residual
};

// next[j] = g(ln_b)[j] on entry, the mixed point on return (below ln X, as
// every sweep's) where `mixed`, else left; `last` takes this sweep.
template <class R>
void accelerate(R ln_X, const R *ln_b, bool mixed, int n, R *next,
                anderson_memory<R> &last) noexcept
{
    R gamma = ln_X * 0.0;
    if (mixed) {
        R num = gamma;
        R den = gamma;
        for (int j = 0; j < n; ++j) {
            const R f = next[j] - ln_b[j];
            const R df = f - last.f[j];
            num = num + f * df;
            den = den + df * df;
        }
        if (value_of(den) > 0.0)
            gamma = num / den;
    }
    for (int j = 0; j < n; ++j) {
        const R g = next[j];
        last.f[j] = g - ln_b[j];
        if (mixed) {
            const R x = g - gamma * (g - last.g[j]);
            next[j] = value_of(x) < value_of(ln_X) ? x : ln_X;
        }
        last.g[j] = g;
    }
}

// The boundary's node values into b, and its coefficients where asked for.
template <class R>
void solve_boundary(const put_model<R> &m, const integral_settings &settings,
                    const mapped_rule &rule, put_boundary<R> &b, bool coefficients) noexcept
{
    const int n = settings.nodes;
    b.n = n;
    b.ln_X = m.ln_X;
    double node[max_nodes + 1];
    R tau[max_nodes + 1];
    R root_tau[max_nodes + 1];
    R ln_b[max_nodes + 1];
    R *H = b.H;
    for (int j = 0; j <= n; ++j) {
        node[j] = chebyshev_cos(n, j);
        const double half = (1.0 + node[j]) * 0.5;
        tau[j] = m.T * (half * half);
        root_tau[j] = m.root_T * half;
    }
    node[n] = -1.0;
    ln_b[n] = m.ln_X;
    // QD+ at every node, each started from a blend of the boundary's two
    // limits (start_distance).
    R x0[max_nodes + 1];
    const start_limits<R> limits = start_limits_of(m);
    double ln_tau[max_nodes + 1];
    for (int j = 0; j < n; ++j)
        ln_tau[j] = value_of(tau[j]);
    log_n(ln_tau, ln_tau, n);
    for (int j = 0; j < n; ++j)
        x0[j] = m.ln_X - start_distance(m, limits, ln_tau[j], root_tau[j]);
    qd_plus_boundaries(m, tau, root_tau, x0, n, ln_b);
    for (int j = 0; j <= n; ++j) {
        const R g = ln_b[j] - m.ln_X;
        H[j] = g * g;
    }
    if (settings.iterations > 0) {
        // Each rule's terms for every node at once where they fit, else each
        // node's in turn in every sweep.
        static_assert(max_cached_terms >= max_points);
        const int n_coarse = coarse_sweeps(settings.iterations);
        mapped_rule scratch;
        const mapped_rule *rules[2] = {nullptr, &rule};
        if (n_coarse > 0)
            rules[0] = &rule_of(coarse_points(rule.size), scratch);
        node_terms<R> terms[2];
        bool cached[2];
        const interpolation_table *tables[2];
        node_factors<R> factors[max_nodes + 1];
        R growth[max_nodes + 1];  // exp((r-q) tau)
        for (int j = 0; j < n; ++j) {
            node_factors<R> &f = factors[j];
            f.st = m.vol * root_tau[j];
            f.inv_st = 1.0 / f.st;
            f.drift_tau = (m.r - m.q) * tau[j];
            f.scale = root_tau[j] / m.vol * inv_sqrt_2pi;
            growth[j] = f.drift_tau;
        }
        exp_n(growth, growth, n);
        for (int j = 0; j < n; ++j) {
            node_factors<R> &f = factors[j];
            f.rate_factor = m.r_zero ? f.scale * 0.0 : m.r * growth[j] * f.scale;
        }
        for (int fine = n_coarse > 0 ? 0 : 1; fine < 2; ++fine) {
            const mapped_rule &r = *rules[fine];
            cached[fine] = n * r.size <= max_cached_terms;
            tables[fine] = interpolation_for(n, r.size);
            if (cached[fine]) {
                for (int j = 0; j < n; ++j)
                    fill_node_terms(m, r, node[j], tau[j], root_tau[j], terms[fine], j * r.size);
                exp_terms(m, terms[fine], 0, n * r.size);
            }
        }
        anderson_memory<R> last;
        for (int sweep = 0; sweep < settings.iterations; ++sweep) {
            const int fine = sweep < n_coarse ? 0 : 1;
            const mapped_rule &r = *rules[fine];
            node_terms<R> &t = terms[fine];
            const interpolation_table *table = tables[fine];
            if (table == nullptr)
                chebyshev_coefficients(H, n, b.a);
            R next[max_nodes + 1];
            R ln_B[max_batch];
            if (cached[fine]) {
                if (table != nullptr)
                    ln_boundaries_from_table(*table, H, m.ln_X, ln_B);
                else
                    for (int j = 0; j < n; ++j)
                        ln_boundaries(b, t.x + j * r.size, r.size, ln_B + j * r.size);
                sweep_nodes(m, r, t, factors, tau, ln_b, ln_B, 0, n, next);
            } else {
                for (int j = 0; j < n; ++j) {
                    fill_node_terms(m, r, node[j], tau[j], root_tau[j], t, 0);
                    exp_terms(m, t, 0, r.size);
                    ln_boundaries(b, t.x, r.size, ln_B);
                    sweep_nodes(m, r, t, factors, tau, ln_b, ln_B, j, 1, next);
                }
            }
            // Sweeps of one rule are mixed as Anderson's (the rules' fixed
            // points differ by the coarse one's error).
            const bool mixed = sweep > 0 && (sweep - 1 < n_coarse) == (sweep < n_coarse);
            accelerate(m.ln_X, ln_b, mixed, n, next, last);
            for (int j = 0; j < n; ++j) {
                ln_b[j] = next[j];
                const R g = ln_b[j] - m.ln_X;
                H[j] = g * g;
            }
        }
    }
    if (coefficients)
        chebyshev_coefficients(H, n, b.a);
}

// ln B at the premium's points 2 sqrt(c_k) - 1: in doubles by the table
// where there is one (the boundary then solved without its coefficients),
// else from the coefficients.
template <class R>
void premium_boundaries(const put_boundary<R> &b, const mapped_rule &rule, R *ln_B) noexcept
{
    if constexpr (std::is_same_v<R, double>) {
        if (const interpolation_table *t = premium_interpolation_for(b.n, rule.size)) {
            root_weighted_sums(t->weight, b.H, b.n + 1, t->size, b.ln_X, ln_B);
            return;
        }
    }
    double points[max_points] = {};
    for (int k = 0; k < rule.size; ++k)
        points[k] = 2.0 * rule.root_c[k] - 1.0;
    ln_boundaries(b, points, rule.size, ln_B);
}

// Whether the premium of a put_boundary<R> needs its coefficients.
template <class R>
bool premium_needs_coefficients(int nodes, int points) noexcept
{
    if constexpr (std::is_same_v<R, double>)
        return premium_interpolation_for(nodes, points) == nullptr;
    else
        return true;
}

// The put of strike 1 at spot e^{ln_s}: the European price plus the
// premium, never below 1 - S, or 1 - S at and below B(T).
template <class R>
R put_value(const put_model<R> &m, const put_boundary<R> &b, const mapped_rule &rule,
            double S, double ln_s) noexcept
{
    const R ln_bT = ln_boundary_at_expiry(b);
    if (!(ln_s > value_of(ln_bT)))
        return ln_bT * 0.0 + (1.0 - S);
    const R drift = m.r - m.q;
    const R st = m.vol * m.root_T;
    const R dp = (ln_s + drift * m.T) / st + st * 0.5;
    const R dm = dp - st;
    R value = d_exp(0.0 - m.r * m.T) * d_norm_cdf(0.0 - dm)
              - S * d_exp(0.0 - m.q * m.T) * d_norm_cdf(0.0 - dp);
    R ln_B[max_points];
    premium_boundaries(b, rule, ln_B);
    // At each point, with s = T - u: exp(-r s), exp(-q s) and the densities
    // of d+ and d- = d+ - v sqrt(s) (unscaled) in one batch, then N(-d-) and
    // N(-d+).
    const int l = rule.size;
    R e[4 * max_points];
    R d[2 * max_points];
    for (int k = 0; k < l; ++k) {
        const R s = m.T * rule.c_bar[k];
        const R vs = st * rule.root_c_bar[k];
        const R d_plus = (ln_s - ln_B[k] + drift * s) / vs + vs * 0.5;
        const R d_minus = d_plus - vs;
        e[k] = 0.0 - m.r * s;
        e[l + k] = 0.0 - m.q * s;
        e[2 * l + k] = d_minus * d_minus * -0.5;
        e[3 * l + k] = d_plus * d_plus * -0.5;
        d[k] = 0.0 - d_minus;
        d[l + k] = 0.0 - d_plus;
    }
    exp_n(e, e, 4 * l);
    norm_cdf_n(d, e + 2 * l, d, 2 * l);
    R sum = value * 0.0;
    for (int k = 0; k < l; ++k) {
        R term = sum * 0.0;
        if (!m.r_zero)
            term = m.r * e[k] * d[k];
        if (!m.q_zero)
            term = term - m.q * S * e[l + k] * d[l + k];
        sum = sum + rule.flat[k] * term;
    }
    const R price = value + m.T * sum;
    // An American put is worth at least its exercise value. Where the
    // boundary's quadratures cannot resolve it (a very low volatility
    // against the drift, over a long time) the sum can fall short of that,
    // far short of the value; the floor keeps such a price from being
    // plainly wrong.
    if (value_of(price) < 1.0 - S)
        return price * 0.0 + (1.0 - S);
    return price;
}

bool valid_inputs(double S, double K, double T, double r, double q, double vol) noexcept
{
    return std::isfinite(S) && S > 0.0 && std::isfinite(K) && K > 0.0 && std::isfinite(T)
           && T > 0.0 && std::isfinite(r) && std::isfinite(q) && std::isfinite(vol) && vol >= 0.0;
}

// At vol = 0 the put of strike 1 on the path x e^{(r-q) t} is worth the best
// of e^{-r t} - x e^{-q t} over t in [0, T] (and zero): at either end, or
// where its derivative vanishes, e^{(q-r) t} = q x / r.
double deterministic_put(double x, double T, double r, double q) noexcept
{
    double best = 1.0 - x;
    const double at_expiry = std::exp(-(r * T)) - x * std::exp(-(q * T));
    if (at_expiry > best)
        best = at_expiry;
    if (r != q && r != 0.0) {
        const double ratio = q * x / r;
        if (ratio > 0.0) {
            const double t = std::log(ratio) / (q - r);
            if (t > 0.0 && t < T) {
                const double inside = std::exp(-(r * t)) - x * std::exp(-(q * t));
                if (inside > best)
                    best = inside;
            }
        }
    }
    return best > 0.0 ? best : 0.0;
}

// The option as a put of strike 1: spot, rate and dividend yield, and the
// factor its price is scaled by.
struct put_form {
    double x;      // S / K for a put, K / S for a call
    double r;
    double q;
    double scale;  // K for a put, S for a call
};

put_form put_form_of(double S, double K, double r, double q, std::int32_t flag) noexcept
{
    if (flag == flag_call)
        return {K / S, q, r, S};
    return {S / K, r, q, K};
}

template <class R>
put_model<R> model_of(R T, R r, R q, R vol, double r_value, double q_value) noexcept
{
    put_model<R> m;
    m.T = T;
    m.root_T = d_sqrt(T);
    m.r = r;
    m.q = q;
    m.vol = vol;
    m.ln_X = (q_value > r_value) ? d_log(r) - d_log(q) : r * 0.0;
    m.r_zero = r_value == 0.0;
    m.q_zero = q_value == 0.0;
    return m;
}

// The European price of the put form (never exercised early).
template <class R>
R european_put(const put_model<R> &m, double x) noexcept
{
    const R st = m.vol * m.root_T;
    const R dp = (std::log(x) + (m.r - m.q) * m.T) / st + st * 0.5;
    const R dm = dp - st;
    return d_exp(0.0 - m.r * m.T) * d_norm_cdf(0.0 - dm)
           - x * d_exp(0.0 - m.q * m.T) * d_norm_cdf(0.0 - dp);
}

// The price of a put form exercised early, at the given settings.
template <class R>
R put_price_at(const put_model<R> &m, double x, const integral_settings &settings) noexcept
{
    mapped_rule scratch;
    put_boundary<R> b;
    solve_boundary(m, settings, rule_of(settings.boundary_points, scratch), b,
                   premium_needs_coefficients<R>(settings.nodes, settings.price_points));
    return put_value(m, b, rule_of(settings.price_points, scratch), x, std::log(x));
}

// Where the put's drift is large against its volatility over the expiry,
// (r - q) sqrt(T) / v above hard_from with r > q, the package's setting does
// not resolve the boundary, which moves from the strike to its long-time
// level within a small part of the expiry: the fixed point needs more
// sweeps, the boundary more nodes and points, the premium more points (at
// 10-15 % volatility, r 6-8 %, q below 1 % and T up to three years the
// package's setting misses its target by up to 255 times). From hard_to on
// the price is hard_settings', between the two the prices are blended by
// w = t^2 (3 - 2 t), t running from 0 to 1 across the band, so that the
// price and its first derivatives stay continuous in the inputs. Only the
// package's own setting is refined so; any other is taken as it is given.
constexpr integral_settings hard_settings = {16, 10, 16, 64};
constexpr double hard_from = 0.3;
constexpr double hard_to = 0.5;

bool is_package_setting(const integral_settings &s) noexcept
{
    return s.boundary_points == integral_default.boundary_points
           && s.iterations == integral_default.iterations && s.nodes == integral_default.nodes
           && s.price_points == integral_default.price_points;
}

// The weight of hard_settings' price, 0 where the settings are not the
// package's or the put is not hard.
template <class R>
R hard_weight(const put_model<R> &m, const integral_settings &settings) noexcept
{
    const R none = m.vol * 0.0;
    if (!is_package_setting(settings) || !(value_of(m.r) > value_of(m.q)))
        return none;
    const R drift = (m.r - m.q) * m.root_T / m.vol;
    if (!(value_of(drift) > hard_from))
        return none;
    if (value_of(drift) >= hard_to)
        return none + 1.0;
    const R t = (drift - hard_from) * (1.0 / (hard_to - hard_from));
    return t * t * (3.0 - t * 2.0);
}

// The price at the package's setting moved by w towards the finer one's.
template <class R>
R blend(R plain, R hard, R w) noexcept
{
    return plain + w * (hard - plain);
}

template <class R>
R put_form_price(const put_model<R> &m, double x, const integral_settings &settings,
                 early_exercise kind) noexcept
{
    if (kind == early_exercise::never)
        return european_put(m, x);
    const R w = hard_weight(m, settings);
    if (value_of(w) == 0.0)
        return put_price_at(m, x, settings);
    const R hard = put_price_at(m, x, hard_settings);
    if (value_of(w) == 1.0)
        return hard;
    return blend(put_price_at(m, x, settings), hard, w);
}

// The put of strike 1 at x, at the given settings, and its derivatives in x:
// P, P', P''.
price_delta_gamma put_delta_gamma(const put_model<double> &m, double x,
                                  const integral_settings &settings,
                                  early_exercise kind) noexcept
{
    const double T = m.T;
    const double ln_x = std::log(x);
    const double drift = m.r - m.q;
    const double st = m.vol * m.root_T;
    double value = 0.0;
    double first = 0.0;
    double second = 0.0;
    mapped_rule price_scratch;
    const mapped_rule &price_rule = rule_of(settings.price_points, price_scratch);
    put_boundary<double> b;
    bool exercised = false;
    if (kind != early_exercise::never) {
        mapped_rule scratch;
        solve_boundary(m, settings, rule_of(settings.boundary_points, scratch), b, true);
        exercised = !(ln_x > ln_boundary_at_expiry(b));
    }
    if (exercised) {
        value = 1.0 - x;
        first = -1.0;
    } else {
        const double dp = (ln_x + drift * T) / st + st * 0.5;
        const double dm = dp - st;
        const double e_q = std::exp(-(m.q * T));
        const double density = std::exp(dp * dp * -0.5) * inv_sqrt_2pi;
        value = std::exp(-(m.r * T)) * norm_cdf(-dm) - x * e_q * norm_cdf(-dp);
        first = -e_q * norm_cdf(-dp);
        second = e_q * density / (x * st);
        if (kind != early_exercise::never) {
            // With g = r e^{-rs} N(-d-) - q x e^{-qs} N(-d+) and
            // e^{-rs} phi(d-) = x e^{-qs} phi(d+) / B(u):
            //   g'  = e^{-qs} [phi(d+) (q - r/B) / (v sqrt s) - q N(-d+)],
            //   g'' = e^{-qs} phi(d+) / (x v sqrt s) [q - d+ (q - r/B) / (v sqrt s)].
            double sum = 0.0;
            double sum1 = 0.0;
            double sum2 = 0.0;
            for (int k = 0; k < price_rule.size; ++k) {
                const double s = T * price_rule.c_bar[k];
                const double vs = st * price_rule.root_c_bar[k];
                const double ln_B = ln_boundary(b, 2.0 * price_rule.root_c[k] - 1.0);
                const double d_plus = (ln_x - ln_B + drift * s) / vs + vs * 0.5;
                const double eqs = std::exp(-(m.q * s));
                const double n_mdp = norm_cdf(-d_plus);
                const double phi = std::exp(d_plus * d_plus * -0.5) * inv_sqrt_2pi;
                const double mix = m.q - m.r * std::exp(-ln_B);
                double term = -(m.q * x * eqs * n_mdp);
                if (!m.r_zero)
                    term += m.r * std::exp(-(m.r * s)) * norm_cdf(vs - d_plus);
                sum += price_rule.flat[k] * term;
                sum1 += price_rule.flat[k] * (eqs * (phi * mix / vs - m.q * n_mdp));
                sum2 += price_rule.flat[k] * (eqs * phi / (x * vs) * (m.q - d_plus * mix / vs));
            }
            value += T * sum;
            first += T * sum1;
            second += T * sum2;
        }
        // The exercise value as a floor, as in put_value.
        if (value < 1.0 - x) {
            value = 1.0 - x;
            first = -1.0;
            second = 0.0;
        }
    }
    return {value, first, second};
}

}  // namespace

bool valid_integral_settings(const integral_settings &s) noexcept
{
    return gauss_legendre(s.boundary_points).size > 0 && s.boundary_points <= max_points
           && gauss_legendre(s.price_points).size > 0 && s.price_points <= max_points
           && s.iterations >= 0 && s.iterations <= 1000 && s.nodes >= 1
           && s.nodes <= max_nodes;
}

early_exercise put_early_exercise(double r, double q) noexcept
{
    if (r > 0.0 || (r == 0.0 && q < 0.0))
        return early_exercise::one_boundary;
    if (q < r)
        return early_exercise::two_boundaries;
    return early_exercise::never;
}

early_exercise option_early_exercise(double r, double q, std::int32_t flag) noexcept
{
    return flag == flag_call ? put_early_exercise(q, r) : put_early_exercise(r, q);
}

double integral_price(double S, double K, double T, double r, double q, double vol,
                      std::int32_t flag, const integral_settings &settings) noexcept
{
    if (!valid_inputs(S, K, T, r, q, vol) || !valid_integral_settings(settings))
        return nan;
    const put_form p = put_form_of(S, K, r, q, flag);
    if (vol == 0.0)
        return p.scale * deterministic_put(p.x, T, p.r, p.q);
    const early_exercise kind = put_early_exercise(p.r, p.q);
    if (kind == early_exercise::two_boundaries)
        return nan;
    const put_model<double> m = model_of(T, p.r, p.q, vol, p.r, p.q);
    return p.scale * put_form_price(m, p.x, settings, kind);
}

price_derivative integral_price_derivative(double S, double K, double T, double r, double q,
                                           double vol, std::int32_t flag, integral_input along,
                                           const integral_settings &settings) noexcept
{
    if (!valid_inputs(S, K, T, r, q, vol) || !(vol > 0.0) || !valid_integral_settings(settings))
        return {nan, nan};
    const put_form p = put_form_of(S, K, r, q, flag);
    const early_exercise kind = put_early_exercise(p.r, p.q);
    if (kind == early_exercise::two_boundaries)
        return {nan, nan};
    // The rate of the option is the put form's dividend yield for a call.
    const bool call = flag == flag_call;
    const dual T_d = {T, along == integral_input::time ? 1.0 : 0.0};
    const dual v_d = {vol, along == integral_input::vol ? 1.0 : 0.0};
    const bool seed_r = along == (call ? integral_input::dividend : integral_input::rate);
    const bool seed_q = along == (call ? integral_input::rate : integral_input::dividend);
    const dual r_d = {p.r, seed_r ? 1.0 : 0.0};
    const dual q_d = {p.q, seed_q ? 1.0 : 0.0};
    const put_model<dual> m = model_of(T_d, r_d, q_d, v_d, p.r, p.q);
    const dual v = put_form_price(m, p.x, settings, kind);
    return {p.scale * v.v, p.scale * v.d};
}

price_delta_gamma integral_price_delta_gamma(double S, double K, double T, double r, double q,
                                             double vol, std::int32_t flag,
                                             const integral_settings &settings) noexcept
{
    if (!valid_inputs(S, K, T, r, q, vol) || !(vol > 0.0) || !valid_integral_settings(settings))
        return {nan, nan, nan};
    const put_form p = put_form_of(S, K, r, q, flag);
    const early_exercise kind = put_early_exercise(p.r, p.q);
    if (kind == early_exercise::two_boundaries)
        return {nan, nan, nan};
    const put_model<double> m = model_of(T, p.r, p.q, vol, p.r, p.q);
    const double x = p.x;
    // The put of strike 1 and its derivatives in x: P, P', P''; blended as
    // the price is where the put is hard (the weight does not move with x).
    const double w = kind == early_exercise::never ? 0.0 : hard_weight(m, settings);
    price_delta_gamma put = put_delta_gamma(m, x, w < 1.0 ? settings : hard_settings, kind);
    if (w > 0.0 && w < 1.0) {
        const price_delta_gamma hard = put_delta_gamma(m, x, hard_settings, kind);
        put = {blend(put.price, hard.price, w), blend(put.delta, hard.delta, w),
               blend(put.gamma, hard.gamma, w)};
    }
    const double value = put.price;
    const double first = put.delta;
    const double second = put.gamma;
    if (flag == flag_call) {
        // C(S) = S P(K/S): C' = P - x P', C'' = x^2 P'' / S.
        return {p.scale * value, value - x * first, x * x * second / S};
    }
    return {p.scale * value, first, second / K};
}

}  // namespace vornet
