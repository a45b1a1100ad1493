#include "util/Errors.h"

namespace {

const char* statusText(ErrorStatus status)
{
    switch (status) {
    case ERR_UNKNOWN: return ": Unknown";
    case ERR_BAM_OPEN: return ": Failed to open the BAM file";
    case ERR_BAM_HEADER: return ": Error in BAM header";
    case ERR_BAM_INDEX: return ": Failed to open the BAM index file";
    case ERR_REGION_PARSE: return ": Failed to parse the region [";
    case ERR_REGION_FETCH: return ": Failed to retrive BAM region";
    case ERR_NO_HITS: return ": No hits";
    case ERR_GTF_OPEN: return ": Failed to open the GTF file";
    case ERR_DIVISION_BY_ZERO: return ": Division by 0";
    case ERR_NONE: return ": None";
    case ERR_MEMORY_ALLOCATION: return ": Memory allocation error";
    case ERR_BAM_SORT: return ": Failed to sort the BAM file";
    }
    return ": Unknown";
}

} // namespace

KestroveException::KestroveException() : message("Unkown error"), code(static_cast<ErrorStatus>(0)) {}

KestroveException::KestroveException(ErrorStatus status) : KestroveException(status, std::string()) {}

KestroveException::KestroveException(ErrorStatus status, std::string detail)
    : message(), code(static_cast<ErrorStatus>(0))
{
    SetLastErrorString(status, std::move(detail));
}

void KestroveException::SetLastErrorString(ErrorStatus status, std::string detail)
{
    message = "Error " + std::to_string(static_cast<int>(status)) + statusText(status);
    if (status == ERR_REGION_PARSE)
        message += detail + "]";
    else if (!detail.empty())
        message += ": " + detail;
    code = status;
}
