// Standard normal distribution function and the Black-76 price of a European
// option on a forward.
#ifndef VORNET_NUMERICS_NORMAL_H
#define VORNET_NUMERICS_NORMAL_H

#include <cstdint>

namespace vornet {

// N(x) for any double, NaN and infinities included.
double norm_cdf(double x) noexcept;

// phi(x) = exp(-x^2/2) / sqrt(2 pi), the standard normal density.
double norm_pdf(double x) noexcept;

// The scaled complementary error function erfcx(z) = exp(z^2) erfc(z) for
// z >= 0, to a few units of the last place: exp(z^2) of the exact square
// (z^2 as a sum of two doubles), and beyond z = 26, where erfc underflows,
// its asymptotic series. NaN for NaN; not for negative z.
double erfcx(double z) noexcept;

// d1 = ln(F/K)/sigma + sigma/2 of the Black-76 formula, for sigma > 0; the
// second form takes ln(F/K) already computed.
double black76_d1(double F, double K, double sigma) noexcept;
double black76_d1_from_log(double ln_F_over_K, double sigma) noexcept;

// Discounted Black-76 call and put given their two normal probabilities:
// call = (F N(d1) - K N(d2)) D, put = (K N(-d2) - F N(-d1)) D.
double black76_call_value(double K, double D, double F, double n_d1, double n_d2) noexcept;
double black76_put_value(double K, double D, double F, double n_md2, double n_md1) noexcept;

// Black-76 price of a European call (flag 1) or put, already discounted with
// D; sigma is the total standard deviation. For sigma <= 0 it is the
// discounted intrinsic value on the forward, floored at zero.
double black76_price(double K, double D, double F, double sigma, std::int32_t flag) noexcept;

// The same price given ln(F/K) as well, which does not depend on sigma.
double black76_price_from_log(double ln_F_over_K, double K, double D, double F, double sigma,
                              std::int32_t flag) noexcept;

}  // namespace vornet

#endif
