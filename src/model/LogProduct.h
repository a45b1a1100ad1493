#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// The sum of log p over a block of fragments (each p > DBL_MIN), from a product kept as a mantissa and
// a power of two: a multiplication a fragment instead of a logarithm. The stopping
// rule compares the sums of two iterations with a threshold; bound() is a safe limit
// on how far the result lies from the exact sum (a logarithm a fragment, added in
// order), so the rule can tell when it needs the exact sums after all.
class LogProduct {
public:
    // Inlined: it runs once a fragment in every iteration that reads the likelihood.
    [[gnu::always_inline]] void add(double p)
    {
        // p > DBL_MIN here: a normal number, unless it is infinite or NaN.
        if (!(p <= DBL_MAX)) [[unlikely]] {
            finite = false;
            return;
        }
        const int64_t e = exponentOf(p);
        mantissa *= withoutExponent(p);
        exponent += e;
        magnitudes += static_cast<uint64_t>(e < 0 ? -e : e) + 1;
        ++count;
        // Up to 32 factors in [1, 2) stay far from overflow.
        if (++pending == 32) [[unlikely]] {
            exponent += exponentOf(mantissa);
            mantissa = withoutExponent(mantissa);
            pending = 0;
        }
    }

    double value() const
    {
        if (!finite)
            return std::numeric_limits<double>::quiet_NaN();
        return std::log(mantissa) + static_cast<double>(exponent) * kLn2;
    }

    // Both the exact sum and this one lie within about count * eps * sum |log p| of
    // the true sum (recursive summation; each logarithm within an ulp; each product
    // rounding within eps); |log p| <= (|exponent| + 1) ln 2. Eight times that.
    double bound() const
    {
        constexpr double kEps = std::numeric_limits<double>::epsilon();
        const double absSum = static_cast<double>(magnitudes) * kLn2 + 1.0;
        return 8.0 * (static_cast<double>(count) + 64.0) * kEps * absSum;
    }

private:
    static constexpr double kLn2 = 0.6931471805599453;

    static int64_t exponentOf(double x)
    {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return static_cast<int64_t>((bits >> 52) & 0x7ff) - 1023;
    }
    static double withoutExponent(double x)
    {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
        std::memcpy(&x, &bits, sizeof bits);
        return x;
    }

    double mantissa = 1.0;
    int64_t exponent = 0;
    uint64_t magnitudes = 0;
    uint64_t count = 0;
    int pending = 0;
    bool finite = true;
};
