#include "util/Units.h"

#include <cctype>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace units {

namespace {

std::string twoDigits(uint32_t value)
{
    return (value < 10 ? "0" : "") + std::to_string(value);
}

} // namespace

std::string secondsToTime(unsigned long seconds)
{
    const auto total = static_cast<uint32_t>(seconds);
    return twoDigits(total / 3600) + ":" + twoDigits((total % 3600) / 60) + ":" + twoDigits(total % 60);
}

std::string localTime()
{
    return boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
}

bool parseByteSize(const std::string& text, std::size_t& bytes)
{
    std::size_t digits = 0;
    while (digits < text.size() && digits < 15 && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    std::string unit = text.substr(digits);
    if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b'))
        unit.pop_back();
    const std::string suffixes = "KMGT";
    const size_t power = unit.size() == 1 ? suffixes.find(static_cast<char>(std::toupper(unit[0]))) : std::string::npos;
    if (digits == 0 || power == std::string::npos)
        return false;
    const uint64_t number = std::stoull(text.substr(0, digits));
    const auto shift = static_cast<unsigned>(10 * (power + 1));
    if ((number << shift) >> shift != number || (number << shift) < (uint64_t{1} << 20))
        return false;
    bytes = static_cast<std::size_t>(number << shift);
    return true;
}

} // namespace units
