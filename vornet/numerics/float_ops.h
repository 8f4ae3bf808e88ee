// Floating-point operations that the optimiser must perform exactly as
// written, sign bit of NaN included.
//
// Negation only flips the sign bit, so for numbers -x * c equals x * (-c) and
// -a + b equals b - a, and optimisers rewrite one into the other. For a NaN
// operand the two spellings give NaNs of opposite sign, and that sign is not
// harmless: the root finder tells the ends of a bracket apart by their sign
// bits, so a NaN of the other sign can turn "no sign change" into a search
// (or the reverse) and change a finite result.
#ifndef VORNET_NUMERICS_FLOAT_OPS_H
#define VORNET_NUMERICS_FLOAT_OPS_H

namespace vornet {

// v unchanged, through a barrier the optimiser cannot see through: it neither
// knows how the result was produced nor can move an operation across it. On
// GCC and Clang for x86-64 and AArch64 the barrier costs no instruction (the
// value stays in its floating-point register); elsewhere it is a round trip
// through a volatile local.
inline double opaque(double v) noexcept
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__SSE2_MATH__))
    __asm__("" : "+x"(v));
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("" : "+w"(v));
#else
    volatile double held = v;
    v = held;
#endif
    return v;
}

// -v as written: the sign bit of v flipped, NaN included, and the negation
// kept apart from the operations that produce v and that use the result.
inline double negated(double v) noexcept
{
    return opaque(-opaque(v));
}

}  // namespace vornet

#endif
