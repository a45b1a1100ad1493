#include "util/Errors.h"

#include <exception>
#include <iostream>
#include <new>

namespace {

const char* statusText(ErrorStatus status)
{
    switch (status) {
    case ERR_BAM_OPEN: return ": Failed to open the BAM file";
    case ERR_BAM_HEADER: return ": Error in BAM header";
    case ERR_BAM_INDEX: return ": Failed to open the BAM index file";
    case ERR_REGION_FETCH: return ": Failed to retrive BAM region";
    case ERR_GTF_OPEN: return ": Failed to open the GTF file";
    case ERR_MEMORY_ALLOCATION: return ": Memory allocation error";
    case ERR_BAM_SORT: return ": Failed to sort the BAM file";
    }
    return ": Unknown";
}

} // namespace

KestroveException::KestroveException(ErrorStatus status) : KestroveException(status, std::string()) {}

KestroveException::KestroveException(ErrorStatus status, std::string detail)
    : message("Error " + std::to_string(static_cast<int>(status)) + statusText(status)), code(status)
{
    if (!detail.empty())
        message += ": " + detail;
}

void reportFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RunAborted&) {
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
    } catch (const std::bad_alloc&) {
        std::cerr << KestroveException(ERR_MEMORY_ALLOCATION).what() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Error: unexpected failure" << std::endl;
    }
}
