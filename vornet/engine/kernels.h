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

// in[0..ninputs) and the option's side in, out[0..noutputs) and, for the
// inversions, the status (implied_vol_status) out.
using element_fn = void (*)(const double *in, bool is_call, double *out,
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
};

inline constexpr std::size_t kernel_count = 8;
extern const kernel_def kernels[kernel_count];

}  // namespace vornet::engine

#endif
