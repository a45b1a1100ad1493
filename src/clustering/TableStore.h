#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A number as written, with an optional leading + (not "+-"); false for anything else.
bool parseDouble(std::string_view text, double& value);

// Splits a line at every tab. Empty fields are kept: columns are found by
// position, so an empty field (a missing value, an empty gene name) must not
// shift the ones after it.
void splitTabs(std::string_view line, std::vector<std::string_view>& fields);

// The table the clustering reads its rows from: values by row, with a mask for the
// missing ones, the rows' ids and the columns' weights.
class TableStore {
public:
    // Reads a tab-separated table: a header line whose first field names the id
    // column, optional "EWEIGHT"/"EORDER" lines, then one line per row. Returns "ok",
    // an error text, or nothing when memory runs out. Any failure leaves the table
    // empty.
    std::optional<std::string> load(std::FILE* file);

    int32_t rows() const { return rowCount; }
    int32_t columns() const { return columnCount; }
    // Row-major, rows() x columns(); a missing value is 0 with mask 0.
    const std::vector<double>& values() const { return cells; }
    const std::vector<uint8_t>& mask() const { return present; }
    const std::vector<double>& columnWeights() const { return weights; }
    const std::vector<std::string>& rowIds() const { return ids; }

private:
    std::string read(std::FILE* file);

    int32_t rowCount = 0;
    int32_t columnCount = 0;
    std::vector<double> cells;
    std::vector<uint8_t> present;
    std::vector<std::string> ids;
    std::vector<double> weights;
};
