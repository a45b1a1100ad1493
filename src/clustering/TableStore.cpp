#include "clustering/TableStore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <limits>
#include <new>
#include <string_view>

void splitTabs(std::string_view line, std::vector<std::string_view>& fields)
{
    fields.clear();
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            return;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

bool parseDouble(std::string_view text, double& value)
{
    if (text.size() > 1 && text.front() == '+' && text[1] != '-')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [last, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && last == end;
}

namespace {

enum class ColumnKind { Data, Name, RowWeight, RowOrder };

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

// An LF, a CR or a CR LF ends a line; false once nothing is left.
bool readLine(std::FILE* file, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::getc(file)) != EOF) {
        if (c == '\n')
            return true;
        if (c == '\r') {
            int next = std::getc(file);
            if (next != '\n' && next != EOF)
                std::ungetc(next, file);
            return true;
        }
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

// Infinities and NaN count as missing: one of them would poison every distance of its row.
bool parseValue(std::string_view field, double& value)
{
    while (!field.empty() && field.front() == ' ')
        field.remove_prefix(1);
    while (!field.empty() && field.back() == ' ')
        field.remove_suffix(1);
    return parseDouble(field, value) && std::isfinite(value);
}

// The header's column kinds; the first column holds the row ids.
std::vector<ColumnKind> kindsOf(const std::vector<std::string_view>& header)
{
    std::vector<ColumnKind> kinds(header.size(), ColumnKind::Data);
    for (size_t f = 1; f < header.size(); ++f) {
        if (header[f] == "NAME")
            kinds[f] = ColumnKind::Name;
        else if (header[f] == "GWEIGHT")
            kinds[f] = ColumnKind::RowWeight;
        else if (header[f] == "GORDER")
            kinds[f] = ColumnKind::RowOrder;
    }
    return kinds;
}

// An EWEIGHT line into weights, one per data column; the error text, or empty.
std::string readColumnWeights(const std::vector<std::string_view>& fields, const std::vector<ColumnKind>& kinds,
                              int lineNumber, std::vector<double>& weights)
{
    size_t c = 0;
    for (size_t f = 1; f < fields.size(); ++f) {
        if (kinds[f] != ColumnKind::Data)
            continue;
        double weight = 0.0;
        if (!parseValue(fields[f], weight) || weight < 0.0)
            return formatText("Error reading line %d: column weight \"%.*s\" is not a non-negative number", lineNumber,
                              static_cast<int>(fields[f].size()), fields[f].data());
        weights[c++] = weight;
    }
    return {};
}

} // namespace

std::string TableStore::read(std::FILE* file)
{
    std::string line;
    std::vector<std::string_view> fields;
    int lineNumber = 0;

    bool haveHeader = false;
    while (readLine(file, line)) {
        ++lineNumber;
        if (!line.empty()) {
            haveHeader = true;
            break;
        }
    }
    if (std::ferror(file))
        return "Error while reading the file";
    if (!haveHeader)
        return "Attempting to read empty file";

    splitTabs(line, fields);
    if (fields.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        return "Too many columns in the header";
    const int expected = static_cast<int>(fields.size());
    const std::vector<ColumnKind> kinds = kindsOf(fields);
    columnCount = static_cast<int32_t>(std::count(kinds.begin() + 1, kinds.end(), ColumnKind::Data));
    weights.assign(static_cast<size_t>(columnCount), 1.0);

    while (readLine(file, line)) {
        ++lineNumber;
        if (line.empty())
            continue;
        splitTabs(line, fields);
        const int found = fields.size() > static_cast<size_t>(std::numeric_limits<int>::max())
            ? std::numeric_limits<int>::max()
            : static_cast<int>(fields.size());
        if (found < expected)
            return formatText("Error reading line %d: only %d columns found (%d expected)", lineNumber, found, expected);
        if (found > expected)
            return formatText("Error reading line %d: %d columns given (%d expected)", lineNumber, found, expected);

        if (fields[0] == "EWEIGHT") {
            if (std::string problem = readColumnWeights(fields, kinds, lineNumber, weights); !problem.empty())
                return problem;
            continue;
        }
        // The column order only matters when a tree is saved, which this program never does.
        if (fields[0] == "EORDER")
            continue;

        if (rowCount == std::numeric_limits<int32_t>::max())
            return formatText("Error reading line %d: too many rows", lineNumber);
        for (size_t f = 1; f < fields.size(); ++f)
            if (kinds[f] == ColumnKind::Name && fields[f].empty())
                return formatText("Gene name is missing in line %d", lineNumber);

        ids.emplace_back(fields[0]);
        for (size_t f = 1; f < fields.size(); ++f) {
            if (kinds[f] != ColumnKind::Data)
                continue;
            double value = 0.0;
            const bool given = parseValue(fields[f], value);
            cells.push_back(given ? value : 0.0);
            present.push_back(given ? 1 : 0);
        }
        ++rowCount;
    }
    if (std::ferror(file))
        return formatText("Error while reading the file after line %d", lineNumber);
    return "ok";
}

std::optional<std::string> TableStore::load(std::FILE* file)
{
    *this = TableStore{};
    try {
        std::string result = read(file);
        if (result != "ok")
            *this = TableStore{};
        return result;
    } catch (const std::bad_alloc&) {
        *this = TableStore{};
        return std::nullopt;
    }
}
