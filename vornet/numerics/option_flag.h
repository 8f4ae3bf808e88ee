// Option flag codes of the numeric code: exactly 1 is a call, every other
// value a put. The Python layer's flag test (a flag equal to "c" is a call)
// only ever produces these two.
#ifndef VORNET_NUMERICS_OPTION_FLAG_H
#define VORNET_NUMERICS_OPTION_FLAG_H

#include <cstdint>

namespace vornet {

constexpr std::int32_t flag_call = 1;
constexpr std::int32_t flag_put = -1;

}  // namespace vornet

#endif
