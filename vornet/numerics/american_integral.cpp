#include "american_integral.h"

#include <cmath>
#include <limits>

#include "chebyshev.h"
#include "dual_number.h"
#include "gauss_legendre.h"
#include "normal.h"
#include "option_flag.h"

namespace vornet {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inv_sqrt_2pi = 0.3989422804014327;
constexpr int max_points = 128;
constexpr int max_nodes = chebyshev_max_nodes;

// QD+ at each node: at most this many steps of the search for a lower end
// and of the root's iteration, which stops once a step in ln S is below the
// tolerance (a start for the fixed point, which refines it: QD+ itself is
// some way from the boundary, so the root is not needed to the last digit).
constexpr int qd_search_steps = 60;
constexpr int qd_steps = 12;
constexpr double qd_tolerance = 1e-5;

// The fixed-point sweep takes the Newton step where the map's slope in ln b
// is below this, else the plain one: there the plain step overshoots and
// oscillates (and at a low volatility, where the slope is large, diverges),
// while elsewhere the plain step converges as fast, sharing the interpolant
// with the other nodes.
constexpr double newton_slope_limit = -0.5;

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
        m.flat[k] = w * 0.75 * ((1.0 - y) * (1.0 + y));
        m.singular[k] = w * 1.5 * (1.0 + y) / std::sqrt(2.0 + y);
    }
}

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

// ln B(u) on the Chebyshev interpolant of H = ln(B/X)^2 at x = 2 sqrt(u/T) - 1.
template <class R>
struct put_boundary {
    int n;
    R ln_X;
    R a[max_nodes + 1];
};

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
    R root_tau;
    R st;        // v sqrt(tau)
    R drift_tau; // (r - q) tau
    R e_q;       // exp(-q tau)
    R e_r;       // exp(-r tau)
    R v2;        // v^2
    R alpha_h;   // 2 r / (v^2 h), h = 1 - e^{-r tau}; 2 / (v^2 tau) at r = 0
    R one_h;     // 1 - h
    R root;      // sqrt(beta1^2 + 4 alpha / h)
    R lambda;
};

template <class R>
qd_plus_node<R> qd_plus_terms(const put_model<R> &m, R tau, R root_tau) noexcept
{
    qd_plus_node<R> t;
    t.root_tau = root_tau;
    t.st = m.vol * root_tau;
    t.drift_tau = (m.r - m.q) * tau;
    t.e_q = d_exp(0.0 - m.q * tau);
    t.e_r = d_exp(0.0 - m.r * tau);
    t.v2 = m.vol * m.vol;
    const R h = 0.0 - d_expm1(0.0 - m.r * tau);
    t.alpha_h = m.r_zero ? 2.0 / (t.v2 * tau) : 2.0 * m.r / (t.v2 * h);
    t.one_h = 1.0 - h;
    const R beta1 = 2.0 * (m.r - m.q) / t.v2 - 1.0;
    t.root = d_sqrt(beta1 * beta1 + 4.0 * t.alpha_h);
    t.lambda = (0.0 - beta1 - t.root) * 0.5;
    return t;
}

// F at x; `slope` gets dF/dS with c0 held.
template <class R>
R qd_plus_residual(const put_model<R> &m, const qd_plus_node<R> &t, R x, R &slope) noexcept
{
    const R S = d_exp(x);
    const R dp = (x + t.drift_tau) / t.st + t.st * 0.5;
    const R dm = dp - t.st;
    const R density = d_exp(dp * dp * -0.5) * inv_sqrt_2pi;
    const R n_mdp = d_norm_cdf(0.0 - dp, value_of(density));
    const R n_mdm = d_norm_cdf(0.0 - dm);
    const R premium = 1.0 - S - (t.e_r * n_mdm - S * t.e_q * n_mdp);
    if (!(value_of(premium) > 0.0)) {
        slope = premium * 0.0;
        return slope + 1.0;
    }
    const R theta = m.r * t.e_r * n_mdm - m.q * S * t.e_q * n_mdp
                    - m.vol * S * t.e_q * density / (2.0 * t.root_tau);
    const R c0 = (t.one_h * t.alpha_h - 2.0 * theta / (t.v2 * premium)
                  - t.one_h * t.alpha_h * t.alpha_h / (t.root * t.root))
                 / t.root;
    const R held = 1.0 - t.e_q * n_mdp;
    slope = held * (1.0 - t.lambda - c0) + t.e_q * density / t.st;
    return S * held + (t.lambda + c0) * premium;
}

// The root by Newton's method in x kept inside a bracket (a step that
// leaves it, or goes the wrong way, bisects it), from x0 < ln X: the lower
// end is found by doubling the distance below X while F is positive. Ends
// after qd_steps evaluations or once a step is below qd_tolerance.
template <class R>
R qd_plus_boundary(const put_model<R> &m, R tau, R root_tau, R x0) noexcept
{
    const qd_plus_node<R> t = qd_plus_terms(m, tau, root_tau);
    R hi = m.ln_X;
    R lo = x0;
    R slope = x0;
    R f = qd_plus_residual(m, t, lo, slope);
    int evaluations = 1;
    while (value_of(f) > 0.0 && evaluations < qd_search_steps) {
        hi = lo;
        lo = m.ln_X + (lo - m.ln_X) * 2.0;
        f = qd_plus_residual(m, t, lo, slope);
        ++evaluations;
    }
    if (value_of(f) > 0.0)
        return lo;
    R x = lo;
    R x_prev = x;
    R f_prev = f;
    for (int k = 0; k < qd_steps; ++k) {
        // Newton's step first; then the secant through the last two
        // points, which converges faster than Newton's on a slope with c0
        // held.
        R next = k == 0 || !(value_of(f) != value_of(f_prev))
                     ? x - f / (d_exp(x) * slope)
                     : x - f * (x - x_prev) / (f - f_prev);
        x_prev = x;
        f_prev = f;
        if (!(value_of(slope) > 0.0) || !(value_of(next) > value_of(lo))
            || !(value_of(next) < value_of(hi)))
            next = (lo + hi) * 0.5;
        const double step = std::fabs(value_of(next) - value_of(x));
        x = next;
        f = qd_plus_residual(m, t, x, slope);
        if (value_of(f) > 0.0)
            hi = x;
        else
            lo = x;
        if (step < qd_tolerance)
            break;
    }
    return x;
}

// The interpolant of H at every quadrature point of every node as weights
// on the node values, p(x_jk) = sum_i w_jki H_i: the points
// x_jk = (1 + x_j) sqrt(c_k) - 1 depend on the settings alone, so the
// weights are worked out once, for the package's settings, and a sweep's
// interpolation is a sum over the nodes without the coefficients.
constexpr int table_nodes = integral_default.nodes;
constexpr int table_points = integral_default.boundary_points;

struct interpolation_table {
    // weight[(j * (n + 1) + i) * m + k], n + 1 node values, m points
    double weight[table_nodes * (table_nodes + 1) * table_points];
};

interpolation_table make_interpolation_table() noexcept
{
    interpolation_table t{};
    const int n = table_nodes;
    const int m = table_points;
    mapped_rule rule;
    map_rule(m, rule);
    double unit[max_nodes + 1];
    double a[max_nodes + 1];
    for (int i = 0; i <= n; ++i) {
        for (int l = 0; l <= n; ++l)
            unit[l] = l == i ? 1.0 : 0.0;
        chebyshev_coefficients(unit, n, a);
        for (int j = 0; j < n; ++j) {
            const double x = chebyshev_cos(n, j);
            for (int k = 0; k < m; ++k)
                t.weight[(j * (n + 1) + i) * m + k]
                    = chebyshev_sum(a, n, (1.0 + x) * rule.root_c[k] - 1.0);
        }
    }
    return t;
}

// The table where the settings are the package's, else none.
const interpolation_table *default_interpolation(const integral_settings &s) noexcept
{
    if (s.nodes != table_nodes || s.boundary_points != table_points)
        return nullptr;
    static const interpolation_table table = make_interpolation_table();
    return &table;
}

// ln B at node j's quadrature points from the node values H.
template <class R>
void ln_boundaries_from_table(const interpolation_table &t, int j, const R *H, R ln_X,
                              R *out) noexcept
{
    constexpr int n = table_nodes;
    constexpr int m = table_points;
    const double *w = t.weight + j * (n + 1) * m;
    R sum[m];
    for (int k = 0; k < m; ++k)
        sum[k] = H[0] * w[k];
    for (int i = 1; i <= n; ++i) {
        const R h = H[i];
        const double *row = w + i * m;
        for (int k = 0; k < m; ++k)
            sum[k] = sum[k] + h * row[k];
    }
    for (int k = 0; k < m; ++k)
        out[k] = ln_X - d_sqrt(positive_part(sum[k]));
}

// The parts of the boundary's integrands at one node that do not depend on
// the boundary, worked out once per price and read by every sweep: at the
// node's quadrature points u_k, with s_k = tau - u_k,
//   d+(s_k, z) = ln z / (v sqrt s_k) + shift_k,
//   shift_k = (r - q) s_k / (v sqrt s_k) + v sqrt s_k / 2,
// and the interpolant's abscissae 2 sqrt(u_k / T) - 1.
constexpr int max_cached_terms = 1024;

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
    R drift_tau;   // (r - q) tau
    R rate_factor; // r exp((r-q) tau) sqrt(tau) / (v sqrt(2 pi))
    R scale;       // sqrt(tau) / (v sqrt(2 pi))
};

template <class R>
void fill_node_terms(const put_model<R> &m, const mapped_rule &rule, double x, R tau,
                     R root_tau, node_terms<R> &t, int slot) noexcept
{
    const R st = m.vol * root_tau;
    const R drift_tau = (m.r - m.q) * tau;
    const R q_tau = m.q * tau;
    for (int k = 0; k < rule.size; ++k) {
        const int i = slot + k;
        t.x[i] = (1.0 + x) * rule.root_c[k] - 1.0;
        const R vs = st * rule.root_c_bar[k];
        t.inv_vs[i] = 1.0 / vs;
        t.shift[i] = drift_tau * rule.c_bar[k] / vs + vs * 0.5;
        if (!m.q_zero)
            t.e_qu[i] = d_exp(q_tau * rule.c[k]);
    }
}

// One fixed-point sweep at a node (time tau): ln of
// f = exp(-(r-q) tau) N / D with B(tau) = exp(ln_b) and ln B(u) the
// interpolant's at the node's points (ln_B), or, where the slope of ln f
// in ln b is below newton_slope_limit, a Newton step on ln b - ln f(ln b)
// with the interpolant held (a Jacobi-Newton step): the derivative of ln f
// in ln b comes with the same terms. The rate integral is written with
// phi(d-) = z e^{(r-q) s} phi(d+), z = B(tau)/B(u), s = tau - u, so that each
// point needs one density; d+ moves with ln b at the rate 1 / (v sqrt s).
template <class R>
R fixed_point_step(const put_model<R> &m, const R *ln_B, const mapped_rule &rule,
                   const node_terms<R> &t, int slot, const node_factors<R> &f, R tau,
                   R ln_b) noexcept
{
    const R st = f.st;
    const R dp = (ln_b + f.drift_tau) / st + st * 0.5;
    const R dm = dp - st;
    const R phi_m = d_exp(dm * dm * -0.5) * inv_sqrt_2pi / st;
    const R phi_p = d_exp(dp * dp * -0.5) * inv_sqrt_2pi / st;
    R num = phi_m;
    R num_slope = (0.0 - dm) / st * phi_m;
    R den = phi_p + d_norm_cdf(dp);
    R den_slope = phi_p - dp / st * phi_p;
    if (!(m.r_zero && m.q_zero)) {
        R sum_rate = ln_b * 0.0;
        R sum_rate_slope = sum_rate;
        R sum_density = sum_rate;
        R sum_density_slope = sum_rate;
        R sum_cdf = sum_rate;
        R sum_cdf_slope = sum_rate;
        for (int k = 0; k < rule.size; ++k) {
            const int i = slot + k;
            const R ln_z = ln_b - ln_B[k];
            const R d = ln_z * t.inv_vs[i] + t.shift[i];
            const R d_over = d * t.inv_vs[i];
            const R phi = d_exp(d * d * -0.5);
            const R density = m.q_zero ? phi : t.e_qu[i] * phi;
            if (!m.r_zero) {
                const R term = rule.singular[k] * (density * d_exp(ln_z));
                sum_rate = sum_rate + term;
                sum_rate_slope = sum_rate_slope + term * (1.0 - d_over);
            }
            if (!m.q_zero) {
                const R term = rule.singular[k] * density;
                sum_density = sum_density + term;
                sum_density_slope = sum_density_slope - term * d_over;
                sum_cdf = sum_cdf
                          + rule.flat[k]
                                * (t.e_qu[i] * d_norm_cdf(d, value_of(phi) * inv_sqrt_2pi));
                sum_cdf_slope = sum_cdf_slope + rule.flat[k] * (density * t.inv_vs[i]);
            }
        }
        if (!m.r_zero) {
            num = num + f.rate_factor * sum_rate;
            num_slope = num_slope + f.rate_factor * sum_rate_slope;
        }
        if (!m.q_zero) {
            den = den + m.q * (f.scale * sum_density + tau * sum_cdf);
            den_slope = den_slope + m.q * (f.scale * sum_density_slope
                                           + tau * inv_sqrt_2pi * sum_cdf_slope);
        }
    }
    const R ln_f = d_log(num / den) - f.drift_tau;
    const R slope = num_slope / num - den_slope / den;
    R next = ln_f;
    if (value_of(slope) < newton_slope_limit)
        next = ln_b - (ln_b - ln_f) / (1.0 - slope);
    if (!(value_of(next) < value_of(m.ln_X)))
        next = m.ln_X;
    return next;
}

template <class R>
void solve_boundary(const put_model<R> &m, const integral_settings &settings,
                    const mapped_rule &rule, put_boundary<R> &b) noexcept
{
    const int n = settings.nodes;
    b.n = n;
    b.ln_X = m.ln_X;
    double node[max_nodes + 1];
    R tau[max_nodes + 1];
    R root_tau[max_nodes + 1];
    R ln_b[max_nodes + 1];
    R H[max_nodes + 1];
    for (int j = 0; j <= n; ++j) {
        node[j] = chebyshev_cos(n, j);
        const double half = (1.0 + node[j]) * 0.5;
        tau[j] = m.T * (half * half);
        root_tau[j] = m.root_T * half;
    }
    node[n] = -1.0;
    ln_b[n] = m.ln_X;
    // QD+ from the shortest time to the longest, each node started from the
    // last one's distance below X scaled like sqrt(tau).
    for (int j = n - 1; j >= 0; --j) {
        R x0 = m.ln_X - m.vol * root_tau[j];
        if (j < n - 1)
            x0 = m.ln_X + (ln_b[j + 1] - m.ln_X) * ((1.0 + node[j]) / (1.0 + node[j + 1]));
        ln_b[j] = qd_plus_boundary(m, tau[j], root_tau[j], x0);
    }
    for (int j = 0; j <= n; ++j) {
        const R g = ln_b[j] - m.ln_X;
        H[j] = g * g;
    }
    if (settings.iterations > 0) {
        // Every node's terms at once where they fit, else each node's in
        // turn in every sweep.
        static_assert(max_cached_terms >= max_points);
        const bool cached = n * rule.size <= max_cached_terms;
        node_terms<R> terms;
        node_factors<R> factors[max_nodes + 1];
        for (int j = 0; j < n; ++j) {
            node_factors<R> &f = factors[j];
            f.st = m.vol * root_tau[j];
            f.drift_tau = (m.r - m.q) * tau[j];
            f.scale = root_tau[j] / m.vol * inv_sqrt_2pi;
            f.rate_factor = m.r_zero ? f.scale * 0.0 : m.r * d_exp(f.drift_tau) * f.scale;
            if (cached)
                fill_node_terms(m, rule, node[j], tau[j], root_tau[j], terms, j * rule.size);
        }
        const interpolation_table *table = default_interpolation(settings);
        for (int sweep = 0; sweep < settings.iterations; ++sweep) {
            if (table == nullptr)
                chebyshev_coefficients(H, n, b.a);
            R next[max_nodes + 1];
            for (int j = 0; j < n; ++j) {
                int slot = j * rule.size;
                if (!cached) {
                    slot = 0;
                    fill_node_terms(m, rule, node[j], tau[j], root_tau[j], terms, slot);
                }
                R ln_B[max_points];
                if (table != nullptr)
                    ln_boundaries_from_table(*table, j, H, m.ln_X, ln_B);
                else
                    ln_boundaries(b, terms.x + slot, rule.size, ln_B);
                next[j] = fixed_point_step(m, ln_B, rule, terms, slot, factors[j], tau[j],
                                           ln_b[j]);
            }
            for (int j = 0; j < n; ++j) {
                ln_b[j] = next[j];
                const R g = ln_b[j] - m.ln_X;
                H[j] = g * g;
            }
        }
    }
    chebyshev_coefficients(H, n, b.a);
}

// The put of strike 1 at spot e^{ln_s}: the European price plus the
// premium, or 1 - S at and below B(T).
template <class R>
R put_value(const put_model<R> &m, const put_boundary<R> &b, const mapped_rule &rule,
            double S, double ln_s) noexcept
{
    const R ln_bT = ln_boundary(b, 1.0);
    if (!(ln_s > value_of(ln_bT)))
        return ln_bT * 0.0 + (1.0 - S);
    const R drift = m.r - m.q;
    const R st = m.vol * m.root_T;
    const R dp = (ln_s + drift * m.T) / st + st * 0.5;
    const R dm = dp - st;
    R value = d_exp(0.0 - m.r * m.T) * d_norm_cdf(0.0 - dm)
              - S * d_exp(0.0 - m.q * m.T) * d_norm_cdf(0.0 - dp);
    R sum = value * 0.0;
    double points[max_points];
    R ln_B[max_points];
    for (int k = 0; k < rule.size; ++k)
        points[k] = 2.0 * rule.root_c[k] - 1.0;
    ln_boundaries(b, points, rule.size, ln_B);
    for (int k = 0; k < rule.size; ++k) {
        const R s = m.T * rule.c_bar[k];
        const R vs = st * rule.root_c_bar[k];
        const R ln_ratio = ln_s - ln_B[k];
        const R d_plus = (ln_ratio + drift * s) / vs + vs * 0.5;
        R term = d_plus * 0.0;
        if (!m.r_zero)
            term = m.r * d_exp(0.0 - m.r * s) * d_norm_cdf(vs - d_plus);
        if (!m.q_zero)
            term = term - m.q * S * d_exp(0.0 - m.q * s) * d_norm_cdf(0.0 - d_plus);
        sum = sum + rule.flat[k] * term;
    }
    return value + m.T * sum;
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

template <class R>
R put_form_price(const put_model<R> &m, double x, const integral_settings &settings,
                 early_exercise kind) noexcept
{
    if (kind == early_exercise::never)
        return european_put(m, x);
    mapped_rule boundary_rule;
    map_rule(settings.boundary_points, boundary_rule);
    put_boundary<R> b;
    solve_boundary(m, settings, boundary_rule, b);
    mapped_rule price_rule;
    map_rule(settings.price_points, price_rule);
    return put_value(m, b, price_rule, x, std::log(x));
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
    const double ln_x = std::log(x);
    const double drift = m.r - m.q;
    const double st = vol * m.root_T;
    // The put of strike 1 and its derivatives in x: P, P', P''.
    double value = 0.0;
    double first = 0.0;
    double second = 0.0;
    mapped_rule price_rule;
    map_rule(settings.price_points, price_rule);
    put_boundary<double> b;
    bool exercised = false;
    if (kind != early_exercise::never) {
        mapped_rule boundary_rule;
        map_rule(settings.boundary_points, boundary_rule);
        solve_boundary(m, settings, boundary_rule, b);
        exercised = !(ln_x > ln_boundary(b, 1.0));
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
    }
    if (flag == flag_call) {
        // C(S) = S P(K/S): C' = P - x P', C'' = x^2 P'' / S.
        return {p.scale * value, value - x * first, x * x * second / S};
    }
    return {p.scale * value, first, second / K};
}

}  // namespace vornet
