#pragma once

// The clustering component's table store: one per process, filled by Load and
// emptied by Free. Not safe for concurrent use.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads a tab-separated table: a header line whose first field names the id
// column, optional "EWEIGHT"/"EORDER" lines, then one line per row. Returns "ok",
// an error text, or nothing when memory runs out. Any failure leaves the store
// empty.
std::optional<std::string> Load(std::FILE* file);

// Splits a line at every tab. Empty fields are kept: columns are found by
// position, so an empty field (a missing value, an empty gene name) must not
// shift the ones after it.
void splitTabs(std::string_view line, std::vector<std::string_view>& fields);

// Releases the whole store and resets the counts to 0.
void Free();

int32_t GetRows();
int32_t GetColumns();

// Row-major, GetRows() x GetColumns(); a missing value is 0 with mask 0.
const std::vector<double>& GetData();
const std::vector<uint8_t>& GetMask();
const std::vector<double>& GetColumnWeights();
const std::vector<std::string>& GetRowIds();
const std::string& GetIdColumnName();
