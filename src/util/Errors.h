#pragma once

#include <exception>
#include <string>

// The numbers are printed as "Error N": keep them when codes come and go.
enum ErrorStatus {
    ERR_BAM_OPEN = 101,
    ERR_BAM_HEADER = 102,
    ERR_BAM_INDEX = 103,
    ERR_REGION_FETCH = 105,
    ERR_GTF_OPEN = 107,
    ERR_MEMORY_ALLOCATION = 110,
    ERR_BAM_SORT = 111
};

// Deliberately not derived from std::exception: handlers name it by type.
class KestroveException {
public:
    explicit KestroveException(ErrorStatus status);
    KestroveException(ErrorStatus status, std::string detail);

    const char* what() const { return message.c_str(); }

    std::string message;
    ErrorStatus code;
};

// Raised once the reason for stopping has been printed on standard error; the run then
// ends with exit status 1. Workers raise it instead of exiting the process themselves,
// so no thread tears down state that another thread is still using.
struct RunAborted {};

// The one line on standard error for a failure that ends the run (nothing for RunAborted,
// whose reason has already been printed).
void reportFailure(std::exception_ptr failure);
