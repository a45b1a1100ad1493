#pragma once

#include <string>

enum ErrorStatus {
    ERR_UNKNOWN = 100,
    ERR_BAM_OPEN,
    ERR_BAM_HEADER,
    ERR_BAM_INDEX,
    ERR_REGION_PARSE,
    ERR_REGION_FETCH,
    ERR_NO_HITS,
    ERR_GTF_OPEN,
    ERR_DIVISION_BY_ZERO,
    ERR_NONE,
    ERR_MEMORY_ALLOCATION,
    ERR_BAM_SORT
};

// Deliberately not derived from std::exception: handlers name it by type.
class KestroveException {
public:
    KestroveException();
    explicit KestroveException(ErrorStatus status);
    KestroveException(ErrorStatus status, std::string detail);

    void SetLastErrorString(ErrorStatus status, std::string detail);
    const char* what() const { return message.c_str(); }

    std::string message;
    ErrorStatus code;
};
