// The engine's element functions: one option in, its results out. Each row
// of `kernels` becomes one function of vornet._engine, which maps it over
// arrays (or applies it to one option given as Python numbers).
#ifndef VORNET_ENGINE_KERNELS_H
#define VORNET_ENGINE_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace vornet::engine {

constexpr int max_inputs = 6;
constexpr int max_outputs = 5;

// in[0..ninputs), the option's side and its exercise (European or
// American) in, out[0..noutputs) and, for the inversions, the status
// (implied_vol_status) out.
using element_fn = void (*)(const double *in, bool is_call, bool european, double *out,
                            std::int8_t *status) noexcept;

struct kernel_def {
    const char *name;
    const char *doc;  // begins with the signature line Python's inspect reads
    int ninputs;
    const char *input_names[max_inputs];
    int noutputs;
    bool with_status;
    element_fn element;
    // The same function by the fast solver, selected with method="fast";
    // nullptr for the kernels that have one method.
    element_fn fast_element;
    // The same function with the integral model for American options,
    // selected with model="integral"; nullptr for the kernels in the
    // model's terms (without the time, which the integral model needs).
    element_fn integral_element;
};

inline constexpr std::size_t kernel_count = 9;
extern const kernel_def kernels[kernel_count];

// One expiry of a chain for the forward search: its call and put prices and
// their strikes (count of each), the spot and the discount factor.
struct forward_group {
    const double *calls;
    const double *puts;
    const double *strikes;
    std::int64_t count;
    double S;
    double D;
};

// How a group's forward came out, in order of precedence.
enum class forward_code : std::int8_t {
    accepted = 0,
    no_pairs = 1,          // the group holds no call/put pair
    not_positive = 2,      // the forward is NaN, infinite, zero or negative
    no_usable_strike = 3,  // no chosen strike has a call and a put with a
                           // positive implied value at the forward
};

struct forward_fit {
    double forward;  // the minimiser of the call/put disagreement
    double parity;   // the put-call-parity first guess it started from
    forward_code code;
};

// The forward search over one group, on the strikes within the narrowest band
// around the spot that holds any (choose_strikes with the default 1 %).
// `chosen` has room for count indices and `quotes` for 3 count values: the
// search's own working memory.
forward_fit fit_forward(const forward_group &group, std::int64_t *chosen,
                        double *quotes) noexcept;

// The same search with the integral model's implied volatilities, for the
// group's time to expiry T (a NaN or non-positive T gives not_positive).
forward_fit fit_forward_integral(const forward_group &group, double T, std::int64_t *chosen,
                                 double *quotes) noexcept;

// The put-call-parity forward alone, over the same strikes as fit_forward
// (exact for European quotes): both fields of the fit are it, and the code
// is accepted when it is finite and positive, no_pairs without pairs,
// not_positive otherwise. `chosen` and `quotes` as for fit_forward.
forward_fit parity_fit(const forward_group &group, std::int64_t *chosen,
                       double *quotes) noexcept;

}  // namespace vornet::engine

#endif
