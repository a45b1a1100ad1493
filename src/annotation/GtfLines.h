#pragma once

#include <zlib.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "annotation/Gene.h"

// Streams the lines of a plain or gzip-compressed file (zlib passes plain files
// through unchanged) without holding more than one buffer of it. Any file that
// cannot be read whole is a KestroveException with ERR_GTF_OPEN.
class GtfLineReader {
public:
    explicit GtfLineReader(const char* path);

    // The view stays valid until the next call. The newline is not part of it.
    bool next(std::string_view& line);

private:
    void refill();
    [[noreturn]] void fail(const std::string& reason) const;
    [[noreturn]] void failRead() const;

    std::string fileName;
    std::unique_ptr<gzFile_s, int (*)(gzFile)> file;
    // Left uninitialised: only the bytes read are ever looked at.
    std::unique_ptr<char[]> buffer;
    size_t capacity;
    size_t begin = 0;
    size_t scanned = 0;
    size_t filled = 0;
    bool atEnd = false;
};

// The fields of an exon line that the annotation keeps; the views point into the line.
struct ExonLine {
    std::string_view chromosome;
    std::string_view geneId;
    std::string_view transcriptId;
    std::string_view geneName;
    bool forward = true;
    bool coordinatesValid = false;
    t_exon exon;
};

enum class LineKind { Other, Exon, FewColumns };

// Fills `fields` for an exon line of nine columns; `attributes` gets the ninth
// column of any line that has one.
LineKind readGtfLine(std::string_view line, ExonLine& fields, std::string_view& attributes);

// GFF3 writes its attributes key=value; its exon lines carry no gene_id.
bool looksLikeGff3(std::string_view attributes);
