#include "annotation/GtfLines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "util/Files.h"
#include "util/Errors.h"

namespace {

// zlib holds three times this while reading, and it counts in the run's peak memory.
constexpr size_t kInitialSize = 1 << 17;

// A bgzip file ends in an empty block; cut at a block boundary it still reads as
// complete gzip data, so only the missing block tells.
bool bgzfWithoutEnd(const char* path)
{
    static constexpr unsigned char kEndBlock[28] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 0x42, 0x43,
                                                    2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return false;
    unsigned char head[16];
    unsigned char tail[sizeof kEndBlock];
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const bool bgzf = ::pread(fd, head, sizeof head, 0) == sizeof head && head[0] == 0x1f && head[1] == 0x8b
        && (head[3] & 4) != 0 && head[12] == 'B' && head[13] == 'C';
    const bool ended = size >= static_cast<off_t>(sizeof tail)
        && ::pread(fd, tail, sizeof tail, size - static_cast<off_t>(sizeof tail)) == sizeof tail
        && std::memcmp(tail, kEndBlock, sizeof tail) == 0;
    ::close(fd);
    return bgzf && !ended;
}

// Optional sign and decimal digits only, within the signed 32-bit range.
bool parseInt32(std::string_view text, int32_t& value)
{
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size())
        return false;
    constexpr int64_t limit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit)
            return false;
    }
    int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(signedValue);
    return true;
}

constexpr size_t kGtfColumns = 9;

std::string_view trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The nine columns; the ninth keeps any tabs that follow it. Fewer when the line is short.
size_t splitColumns(std::string_view line, std::string_view (&columns)[kGtfColumns])
{
    size_t count = 0;
    size_t at = 0;
    while (count + 1 < kGtfColumns) {
        const size_t tab = line.find('\t', at);
        if (tab == std::string_view::npos)
            break;
        columns[count++] = line.substr(at, tab - at);
        at = tab + 1;
    }
    columns[count++] = line.substr(at);
    return count;
}

// The attribute column: `key "value";` pairs. An unquoted value runs to the next
// ';', and the last ';' may be missing. A quoted value keeps its spaces, ';' and
// backslash-escaped quotes.
template <typename Visit>
void forEachAttribute(std::string_view text, Visit&& visit)
{
    const size_t n = text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    size_t i = 0;
    for (;;) {
        while (i < n && (blank(text[i]) || text[i] == ';'))
            ++i;
        if (i == n)
            return;
        const size_t keyStart = i;
        while (i < n && !blank(text[i]) && text[i] != ';' && text[i] != '"')
            ++i;
        const std::string_view key = text.substr(keyStart, i - keyStart);
        while (i < n && blank(text[i]))
            ++i;
        std::string_view value;
        if (i < n && text[i] == '"') {
            size_t close = i + 1;
            while (close < n && text[close] != '"')
                close += text[close] == '\\' ? 2 : 1;
            close = std::min(close, n);
            value = text.substr(i + 1, close - i - 1);
            i = std::min(close + 1, n);
        } else {
            const size_t valueStart = i;
            while (i < n && text[i] != ';')
                ++i;
            value = trimmed(text.substr(valueStart, i - valueStart));
        }
        visit(key, value);
    }
}

} // namespace

bool looksLikeGff3(std::string_view attributes)
{
    const std::string_view first = trimmed(attributes);
    const size_t equals = first.find('=');
    return equals != std::string_view::npos && equals < first.find_first_of(" ;\"");
}

LineKind readGtfLine(std::string_view line, ExonLine& fields, std::string_view& attributes)
{
    std::string_view columns[kGtfColumns];
    const size_t count = splitColumns(line, columns);
    attributes = count == kGtfColumns ? columns[8] : std::string_view();
    if (count < 3 || (columns[2] != "exon" && columns[2] != "EXON"))
        return LineKind::Other;
    if (count < kGtfColumns)
        return LineKind::FewColumns;
    fields = ExonLine{};
    fields.chromosome = trimmed(columns[0]);
    fields.coordinatesValid = parseInt32(trimmed(columns[3]), fields.exon.start)
        && parseInt32(trimmed(columns[4]), fields.exon.end);
    fields.forward = trimmed(columns[6]) != "-";
    forEachAttribute(attributes, [&](std::string_view key, std::string_view value) {
        // The first of a repeated key counts.
        std::string_view* field = key == "gene_id" ? &fields.geneId
            : key == "transcript_id"               ? &fields.transcriptId
            : key == "gene_name"                   ? &fields.geneName
                                                   : nullptr;
        if (field && field->empty())
            *field = value;
    });
    return LineKind::Exon;
}

GtfLineReader::GtfLineReader(const char* path)
    : fileName(path ? path : ""), file(nullptr, &gzclose), buffer(std::make_unique_for_overwrite<char[]>(kInitialSize)),
      capacity(kInitialSize)
{
    // gzopen accepts a directory and fails only at the first read, with a vaguer reason;
    // on a FIFO with no writer it waits forever.
    if (const std::string problem = path ? files::inputFileProblem(path) : ""; !problem.empty())
        fail(problem);
    struct stat info {};
    if (path)
        ::stat(path, &info);
    errno = 0;
    file.reset(path ? gzopen(path, "rb") : nullptr);
    if (!file)
        fail(errno != 0 ? std::strerror(errno) : "cannot be opened");
    if (S_ISREG(info.st_mode) && bgzfWithoutEnd(path))
        fail("truncated bgzip data (no end-of-file block)");
    gzbuffer(file.get(), kInitialSize);
}

bool GtfLineReader::next(std::string_view& line)
{
    for (;;) {
        const char* base = buffer.get();
        const void* newline = std::memchr(base + scanned, '\n', filled - scanned);
        if (newline) {
            auto pos = static_cast<size_t>(static_cast<const char*>(newline) - base);
            line = std::string_view(base + begin, pos - begin);
            begin = scanned = pos + 1;
            return true;
        }
        scanned = filled;
        if (atEnd) {
            if (begin == filled)
                return false;
            line = std::string_view(base + begin, filled - begin);
            begin = scanned = filled;
            return true;
        }
        refill();
    }
}

void GtfLineReader::refill()
{
    if (begin > 0) {
        std::memmove(buffer.get(), buffer.get() + begin, filled - begin);
        filled -= begin;
        scanned -= begin;
        begin = 0;
    }
    if (filled == capacity) {
        // Only a line longer than the buffer gets here.
        auto larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
        std::memcpy(larger.get(), buffer.get(), filled);
        buffer = std::move(larger);
        capacity *= 2;
    }
    size_t room = std::min<size_t>(capacity - filled, std::numeric_limits<int>::max());
    int got = gzread(file.get(), buffer.get() + filled, static_cast<unsigned>(room));
    if (got < 0)
        failRead();
    if (got == 0) {
        // A truncated compressed file ends like a complete one unless asked.
        int status = Z_OK;
        gzerror(file.get(), &status);
        if (status != Z_OK)
            failRead();
        atEnd = true;
    }
    filled += static_cast<size_t>(got);
}

void GtfLineReader::fail(const std::string& reason) const
{
    throw KestroveException(ERR_GTF_OPEN, fileName + ": " + reason);
}

void GtfLineReader::failRead() const
{
    int status = Z_OK;
    const char* text = gzerror(file.get(), &status);
    if (status == Z_ERRNO)
        fail(std::strerror(errno));
    if (status == Z_BUF_ERROR)
        fail("truncated gzip data");
    fail(std::string("corrupt gzip data (") + (text ? text : "") + ")");
}
