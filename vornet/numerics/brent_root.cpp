#include "brent_root.h"

#include <cmath>

#include "float_ops.h"

namespace vornet {

// The search keeps three points: xcur, the best estimate so far; xpre, the
// one before it; xblk, the end of the bracket on the other side of the root
// ("the block"), with f(xblk) of the opposite sign to f(xcur) and
// |f(xcur)| <= |f(xblk)|. Each iteration tries a step by inverse quadratic
// interpolation through the three points (linear when xpre is the block
// itself) and falls back to bisection unless the step is short enough:
// less than half the step before last and within the bracket with a margin.
// spre and scur are the step before last and the last step.
//
// Every test is an ordered comparison or a sign-bit test, written as the
// arithmetic it reproduces, with negations kept as written (float_ops.h):
// a NaN value never passes a comparison, and its sign bit counts as a sign.
double brent_root(objective_fn f, double xa, double xb, void *record, double xtol, double rtol,
                  int maxiter, zeros_full_output *full_output) noexcept
{
    zeros_full_output unused;
    zeros_full_output &stats = full_output != nullptr ? *full_output : unused;
    const auto finish = [&stats](double root, int outcome) noexcept {
        stats.error_num = outcome;
        stats.root = root;
        return root;
    };
    stats.error_num = brentq_in_progress;
    stats.iterations = 0;

    double xpre = xa;
    double xcur = xb;
    double xblk = 0.0;
    double fpre = f(xpre, record);
    double fcur = f(xcur, record);
    double fblk = 0.0;
    double spre = 0.0;
    double scur = 0.0;
    stats.funcalls = 2;
    if (fpre == 0.0)
        return finish(xpre, brentq_converged);
    if (fcur == 0.0)
        return finish(xcur, brentq_converged);
    if (std::signbit(fpre) == std::signbit(fcur))
        return finish(0.0, brentq_sign_error);

    for (int i = 0; i < maxiter; ++i) {
        ++stats.iterations;
        // The root lies between the last two iterates: xpre becomes the block.
        if (fpre != 0.0 && fcur != 0.0 && std::signbit(fpre) != std::signbit(fcur)) {
            xblk = xpre;
            fblk = fpre;
            spre = xcur - xpre;
            scur = spre;
        }
        // Keep the smaller value at xcur; xpre then is the block as well.
        if (std::fabs(fblk) < std::fabs(fcur)) {
            xpre = xcur;
            xcur = xblk;
            xblk = xpre;

            fpre = fcur;
            fcur = fblk;
            fblk = fpre;
        }

        // Half the tolerance, and the bisection step towards the block.
        const double delta = (xtol + rtol * std::fabs(xcur)) / 2.0;
        const double sbis = (xblk - xcur) / 2.0;
        if (fcur == 0.0 || std::fabs(sbis) < delta)
            return finish(xcur, brentq_converged);

        bool bisect = true;
        if (std::fabs(spre) > delta && std::fabs(fcur) < std::fabs(fpre)) {
            double stry;
            if (xpre == xblk) {
                // Secant through xcur and xpre.
                stry = negated(fcur) * (xcur - xpre) / (fcur - fpre);
            } else {
                // Inverse quadratic through the three points, from the
                // divided differences towards xpre and towards the block.
                const double dpre = (fpre - fcur) / (xpre - xcur);
                const double dblk = (fblk - fcur) / (xblk - xcur);
                stry = negated(fcur) * (fblk * dblk - fpre * dpre)
                       / (dblk * dpre * (fblk - fpre));
            }
            const double previous = std::fabs(spre);
            const double room = 3.0 * std::fabs(sbis) - delta;
            if (2.0 * std::fabs(stry) < (previous < room ? previous : room)) {
                spre = scur;
                scur = stry;
                bisect = false;
            }
        }
        if (bisect) {
            spre = sbis;
            scur = sbis;
        }

        // Step at least delta, towards the block.
        xpre = xcur;
        fpre = fcur;
        if (std::fabs(scur) > delta)
            xcur += scur;
        else
            xcur += (sbis > 0.0 ? delta : negated(delta));

        fcur = f(xcur, record);
        ++stats.funcalls;
    }
    return finish(xcur, brentq_iteration_limit);
}

}  // namespace vornet
