#pragma once
// Shared helpers of the libFuzzer targets.
//
// The contract the targets check: on any input the core either returns or
// throws one of the documented exception types (ecm::DataError,
// std::invalid_argument, std::runtime_error). Anything else -- a sanitizer
// report, another exception type, a failed invariant, a hang -- is a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/base/errors.hpp"

namespace fuzz {

// Stops the run with a message; libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(cond)                                                           \
    do {                                                                           \
        if (!(cond)) ::fuzz::fail(#cond " (" __FILE__ ":" FUZZ_STR(__LINE__) ")"); \
    } while (0)
#define FUZZ_STR2(x) #x
#define FUZZ_STR(x) FUZZ_STR2(x)

// Runs f; swallows only the exception types the core documents.
template <class F>
bool expect_ok_or_documented(F&& f) {
    try {
        f();
        return true;
    } catch (const ecm::DataError&) {
    } catch (const std::invalid_argument&) {
    } catch (const std::runtime_error&) {}
    return false;
}

// A double that is often special: NaN, infinities, zero, signed zero,
// denormals, the extremes, or any bit pattern.
inline double any_double(FuzzedDataProvider& p) {
    switch (p.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return std::numeric_limits<double>::quiet_NaN();
        case 1:
            return std::numeric_limits<double>::infinity();
        case 2:
            return -std::numeric_limits<double>::infinity();
        case 3:
            return 0.0;
        case 4:
            return -0.0;
        case 5:
            return std::numeric_limits<double>::denorm_min();
        case 6:
            return std::numeric_limits<double>::max();
        case 7:
            return -std::numeric_limits<double>::max();
        case 8:
            return std::numeric_limits<double>::min();
        case 9: {
            const auto bits = p.ConsumeIntegral<std::uint64_t>();
            double d;
            static_assert(sizeof d == sizeof bits, "64-bit double");
            __builtin_memcpy(&d, &bits, sizeof d);
            return d;
        }
        default:
            return p.ConsumeFloatingPointInRange<double>(-1e3, 1e3);
    }
}

// A value in [lo, hi] most of the time, sometimes a special one.
inline double mostly_in(FuzzedDataProvider& p, double lo, double hi, int special_one_in = 16) {
    if (p.ConsumeIntegralInRange<int>(0, special_one_in - 1) == 0) return any_double(p);
    return p.ConsumeFloatingPointInRange<double>(lo, hi);
}

}  // namespace fuzz
