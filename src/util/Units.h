#pragma once

#include <cstddef>
#include <string>

namespace units {

// hh:mm:ss, as the run's reports show elapsed times.
std::string secondsToTime(unsigned long seconds);
// The local time to the second, as the run's reports show it.
std::string localTime();
// A size such as 512M or 2G (K, M, G, T: powers of 1024; an optional B after them), at
// least 1M; false, with bytes untouched, for anything else.
bool parseByteSize(const std::string& text, std::size_t& bytes);

} // namespace units
