#include "Annotations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "Helper.h"
#include "KestroveException.h"

namespace {

// Streams the lines of a plain or gzip-compressed file (zlib passes plain files
// through unchanged) without holding more than one buffer of it.
class LineReader {
public:
    explicit LineReader(const char* path)
        : fileName(path ? path : ""), file(nullptr, &gzclose),
          buffer(std::make_unique_for_overwrite<char[]>(kInitialSize)),
          capacity(kInitialSize)
    {
        // gzopen accepts a directory and fails only at the first read, with a vaguer reason.
        struct stat info {};
        if (path && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode))
            fail("is a directory");
        errno = 0;
        file.reset(path ? gzopen(path, "rb") : nullptr);
        if (!file)
            fail(errno != 0 ? std::strerror(errno) : "cannot be opened");
        if (S_ISREG(info.st_mode) && bgzfWithoutEnd(path))
            fail("truncated bgzip data (no end-of-file block)");
        gzbuffer(file.get(), kInitialSize);
    }

    // The view stays valid until the next call. The newline is not part of it.
    bool next(std::string_view& line)
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

private:
    // A bgzip file ends in an empty block; cut at a block boundary it still reads as
    // complete gzip data, so only the missing block tells.
    static bool bgzfWithoutEnd(const char* path)
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

    // zlib holds three times this while reading, and it counts in the run's peak memory.
    static constexpr size_t kInitialSize = 1 << 17;

    void refill()
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

    [[noreturn]] void fail(const std::string& reason) const
    {
        throw KestroveException(ERR_GTF_OPEN, fileName + ": " + reason);
    }

    [[noreturn]] void failRead() const
    {
        int status = Z_OK;
        const char* text = gzerror(file.get(), &status);
        if (status == Z_ERRNO)
            fail(std::strerror(errno));
        if (status == Z_BUF_ERROR)
            fail("truncated gzip data");
        fail(std::string("corrupt gzip data (") + (text ? text : "") + ")");
    }

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
// ';', and the last ';' may be missing. A quoted value keeps its spaces and ';'.
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
            const size_t close = std::min(text.find('"', i + 1), n);
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

// GFF3 writes its attributes key=value; its exon lines carry no gene_id.
bool looksLikeGff3(std::string_view attributes)
{
    const std::string_view first = trimmed(attributes);
    const size_t equals = first.find('=');
    return equals != std::string_view::npos && equals < first.find_first_of(" ;\"");
}

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

LineKind readLine(std::string_view line, ExonLine& fields, std::string_view& attributes)
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

t_transcript* findTranscript(Gene& gene, std::string_view transcriptId)
{
    // From the back: a GTF lists the exons of a transcript together, so the
    // transcript of the previous line is the gene's last.
    for (auto t = gene.transcripts.rbegin(); t != gene.transcripts.rend(); ++t)
        if (t->transcriptId == transcriptId)
            return &*t;
    return nullptr;
}

enum class ExonFit { Apart, Duplicate, Overlapping };

ExonFit fitOf(const t_transcript& transcript, const t_exon& exon)
{
    ExonFit fit = ExonFit::Apart;
    for (const t_exon& e : transcript.exons) {
        if (e.start == exon.start && e.end == exon.end)
            return ExonFit::Duplicate;
        if (e.start <= exon.end && exon.start <= e.end)
            fit = ExonFit::Overlapping;
    }
    return fit;
}

// Exon lines left out of the annotation, by kind: each counted, with the first one's line.
struct SkippedExons {
    struct Kind {
        uint64_t count = 0;
        uint64_t firstLine = 0;
        void note(uint64_t line)
        {
            if (count++ == 0)
                firstLine = line;
        }
    };
    Kind duplicate;
    Kind startAfterEnd;
    Kind badNumber;
    Kind fewColumns;

    void report(const char* path) const
    {
        const std::pair<const Kind*, const char*> kinds[] = {
            {&duplicate, "duplicate exon(s) of their transcript, counted once"},
            {&startAfterEnd, "with start after end"},
            {&badNumber, "with a coordinate that is not a number"},
            {&fewColumns, "with fewer than 9 columns"},
        };
        std::string text;
        for (const auto& [kind, what] : kinds) {
            if (kind->count == 0)
                continue;
            text += (text.empty() ? "" : "; ") + std::to_string(kind->count) + " " + what + " (first at line "
                + std::to_string(kind->firstLine) + ")";
        }
        if (!text.empty())
            std::cerr << "Warning: exon lines skipped in " << path << ": " << text << "\n";
    }
};

// The gene of `namesake`'s id on another reference, created on first sight. Its key
// continues the namesake's id with a byte below every printable one and an ordinal,
// so the map keeps it directly after its namesake, in the order the references appear.
Gene& geneOnReference(GeneMap& genes, const Gene& namesake, std::string_view chromosome, std::string_view geneName,
                      uint64_t& splitGeneIds)
{
    for (unsigned ordinal = 1;; ++ordinal) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "\x01%06u", ordinal);
        auto [it, inserted] = genes.try_emplace(namesake.geneId + suffix);
        Gene& gene = it->second;
        if (inserted) {
            if (ordinal == 1)
                ++splitGeneIds;
            gene.geneId = namesake.geneId;
            gene.key = it->first;
            gene.geneName = geneName.empty() ? std::string_view(namesake.geneName) : geneName;
            gene.chromosome = chromosome;
            return gene;
        }
        if (gene.chromosome == chromosome)
            return gene;
    }
}

// Merging finds a transcript's gene by the transcript's id; on a further reference of
// its gene id the same transcript id is another transcript.
std::string transcriptKey(const Gene& gene, const std::string& transcriptId)
{
    return gene.key.empty() ? transcriptId : transcriptId + '\x01' + gene.chromosome;
}

// An exon pair can only intersect when the transcripts' extents do, since a
// transcript's start and end are the smallest start and largest end of its exons.
bool exonsOverlap(const Gene& a, const Gene& b)
{
    for (const t_transcript& ta : a.transcripts) {
        for (const t_transcript& tb : b.transcripts) {
            if (ta.end < tb.start || tb.end < ta.start)
                continue;
            for (const t_exon& ea : ta.exons)
                for (const t_exon& eb : tb.exons)
                    if (ea.end >= eb.start && eb.end >= ea.start)
                        return true;
        }
    }
    return false;
}

uint64_t truncateToCount(double value)
{
    if (!(value >= 0.0))
        return 0;
    if (value >= 18446744073709551616.0)
        return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

// A typing error in the genes list would otherwise quietly leave a gene out of the
// run, or in it despite exclude-genes. Names the first few ids of the list that no
// exon line of the GTF carries, and how many there are.
void reportUnlistedGenes(const std::map<std::string, std::string>& genesList, const std::set<std::string>& seen,
                         const char* path)
{
    constexpr size_t kNamed = 5;
    std::vector<std::string> absent;
    size_t listed = 0;
    bool carriageReturns = false;
    for (const auto& entry : genesList) {
        // An empty line of the list names no gene.
        if (entry.first.empty())
            continue;
        ++listed;
        if (seen.count(entry.first) > 0)
            continue;
        std::string name = entry.first;
        if (name.back() == '\r') {
            carriageReturns = true;
            name.pop_back();
        }
        absent.push_back(std::move(name));
    }
    if (absent.empty())
        return;
    std::cerr << "Warning: " << absent.size() << " of the " << listed << " genes in the genes list "
              << (absent.size() == 1 ? "is" : "are") << " not in " << path << ": ";
    for (size_t i = 0; i < absent.size() && i < kNamed; ++i)
        std::cerr << (i > 0 ? ", " : "") << absent[i];
    if (absent.size() > kNamed)
        std::cerr << " and " << absent.size() - kNamed << " more";
    std::cerr << "\n";
    if (carriageReturns)
        std::cerr << "The genes list has Windows line ends: the carriage return is part of each gene id it names.\n";
}

// Exons past the end of their reference, as a GTF of another assembly has them: cut
// at the end, or left out when they start beyond it. Without the cut, a coordinate
// near 2^31 sizes the transcript's densities in gigabytes.
struct ExonsBeyondReference {
    uint64_t cut = 0;
    uint64_t leftOut = 0;
    std::string first;

    // False when nothing of the exon lies on the reference.
    bool fit(t_exon& exon, int64_t length, std::string_view geneId, std::string_view chromosome, uint64_t line)
    {
        if (length < 0 || exon.end <= length)
            return true;
        if (cut + leftOut == 0)
            first = "gene " + std::string(geneId) + ", exon " + std::to_string(exon.start) + "-" + std::to_string(exon.end)
                + " (line " + std::to_string(line) + ") on " + std::string(chromosome) + " of length "
                + std::to_string(length);
        if (exon.start > length) {
            ++leftOut;
            return false;
        }
        ++cut;
        exon.end = static_cast<int32_t>(length);
        return true;
    }

    void report(const char* path) const
    {
        if (cut + leftOut > 0)
            std::cerr << "Warning: " << cut + leftOut << " exon(s) of " << path
                      << " reach past the end of their reference in the alignments, as in an annotation of another"
                         " assembly; first: "
                      << first << ". " << cut << " cut at the reference end, " << leftOut << " left out\n";
    }
};

// A first occurrence, kept with the number of its kind.
struct Noted {
    uint64_t count = 0;
    std::string first;
    void note(const std::string& what)
    {
        if (count++ == 0)
            first = what;
    }
};

// Each id of a gene found on several references is one gene per reference; a
// transcript id in two of them is a transcript whose lines name two references.
Noted transcriptsOnSeveralReferences(const GeneMap& genes)
{
    Noted found;
    for (auto group = genes.begin(); group != genes.end();) {
        auto next = std::next(group);
        while (next != genes.end() && next->second.geneId == group->second.geneId)
            ++next;
        if (std::next(group) != next) {
            std::map<std::string_view, std::string_view> referenceOf;
            for (auto it = group; it != next; ++it)
                for (const t_transcript& t : it->second.transcripts) {
                    auto [known, inserted] = referenceOf.try_emplace(t.transcriptId, it->second.chromosome);
                    if (!inserted)
                        found.note(t.transcriptId + " on " + std::string(known->second) + " and "
                                   + it->second.chromosome);
                }
        }
        group = next;
    }
    return found;
}

[[noreturn]] void refuse(const char* path, const std::string& reason)
{
    throw KestroveException(ERR_GTF_OPEN, std::string(path) + ": " + reason);
}

std::string gff3Advice(const char* path)
{
    return std::string("it looks like GFF3 (attributes written key=value), not GTF; convert it first, for example"
                       " with gffread -T ")
        + path + " -o annotation.gtf";
}

} // namespace

int Annotations::parseGTF(const char* path, const std::map<std::string, std::string>& genesList,
                          const t_configuration& conf)
{
    LineReader reader(path);

    const bool filterGenes = !conf.processAllGenes;
    std::string key;
    Gene* lastGene = nullptr;
    std::string lastGeneId;
    std::map<std::string, int64_t, std::less<>> lengthOf;
    int64_t lastLength = -1;

    std::set<std::string> listedSeen;
    std::string lastListedSeen;
    uint64_t splitGeneIds = 0;
    uint64_t exonLines = 0;
    bool gff3 = false;
    SkippedExons skipped;
    SkippedExons::Kind overlapping;
    Noted strandConflicts;
    ExonsBeyondReference beyond;
    uint64_t lineNumber = 0;

    std::string_view line;
    ExonLine fields;
    std::string_view attributes;
    while (reader.next(line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && line[0] == '#') {
            gff3 = gff3 || line.substr(0, 15) == "##gff-version 3";
            continue;
        }
        const LineKind kind = readLine(line, fields, attributes);
        if (kind == LineKind::Other) {
            // Only until the first exon line: a GFF3 without exons is told by its other lines.
            gff3 = gff3 || (exonLines == 0 && looksLikeGff3(attributes));
            continue;
        }
        ++exonLines;
        if (kind == LineKind::FewColumns) {
            skipped.fewColumns.note(lineNumber);
            continue;
        }
        if (fields.geneId.empty() || fields.transcriptId.empty()) {
            const std::string where = "line " + std::to_string(lineNumber) + ": ";
            if (gff3 || looksLikeGff3(attributes))
                refuse(path, where + gff3Advice(path));
            refuse(path, where + "exon line without a " + (fields.geneId.empty() ? "gene_id" : "transcript_id")
                             + " attribute; nothing can be attributed to it");
        }
        const std::string_view geneId = fields.geneId;

        if (filterGenes) {
            key.assign(geneId);
            bool listed = genesList.count(key) > 0;
            if (listed && key != lastListedSeen) {
                listedSeen.insert(key);
                lastListedSeen = key;
            }
            if (listed == conf.excludeGenes)
                continue;
        }
        if (!fields.coordinatesValid) {
            skipped.badNumber.note(lineNumber);
            continue;
        }
        t_exon& exon = fields.exon;
        // Such an exon would give its transcript a negative length.
        if (exon.start > exon.end) {
            skipped.startAfterEnd.note(lineNumber);
            continue;
        }

        const std::string_view chromosome = fields.chromosome;
        if (!lastGene || lastGeneId != geneId || lastGene->chromosome != chromosome) {
            key.assign(geneId);
            auto [it, inserted] = genes.try_emplace(key);
            Gene* gene = &it->second;
            if (inserted) {
                gene->geneId = key;
                gene->geneName = fields.geneName;
                gene->chromosome = chromosome;
            } else if (gene->chromosome != chromosome) {
                gene = &geneOnReference(genes, *gene, chromosome, fields.geneName, splitGeneIds);
            }
            lastGene = gene;
            lastGeneId = key;
            auto known = lengthOf.find(chromosome);
            if (known == lengthOf.end())
                known = lengthOf.emplace(chromosome, referenceLength ? referenceLength(gene->chromosome) : -1).first;
            lastLength = known->second;
        }
        if (!beyond.fit(exon, lastLength, geneId, chromosome, lineNumber)) {
            if (lastGene->transcripts.empty()) {
                genes.erase(lastGene->mapKey());
                lastGene = nullptr;
            }
            continue;
        }

        if (const t_transcript* transcript = findTranscript(*lastGene, fields.transcriptId)) {
            const ExonFit fit = fitOf(*transcript, exon);
            // A GTF concatenated with itself must not double every transcript's length.
            if (fit == ExonFit::Duplicate) {
                skipped.duplicate.note(lineNumber);
                continue;
            }
            if (fit == ExonFit::Overlapping)
                overlapping.note(lineNumber);
            if (transcript->forwardStrand != fields.forward)
                strandConflicts.note(transcript->transcriptId + " at line " + std::to_string(lineNumber));
        }

        std::string tid(fields.transcriptId);
        if (conf.mergeAnnot)
            transToGene.try_emplace(transcriptKey(*lastGene, tid), lastGene->mapKey());
        lastGene->addExon(std::move(tid), exon, fields.forward);
    }

    skipped.report(path);
    if (overlapping.count > 0)
        std::cerr << "Warning: " << overlapping.count << " exon line(s) of " << path
                  << " overlap another exon of their transcript (first at line " << overlapping.firstLine
                  << "); each base of a transcript is counted once\n";
    if (strandConflicts.count > 0)
        std::cerr << "Warning: " << strandConflicts.count << " exon line(s) of " << path
                  << " name the other strand than their transcript's first line, whose strand is kept (first: "
                  << strandConflicts.first << ")\n";
    beyond.report(path);
    if (splitGeneIds > 0) {
        std::cerr << "Warning: " << splitGeneIds << " gene id(s) of " << path
                  << " lie on several references; each reference holds a gene of its own under that id\n";
        const Noted split = transcriptsOnSeveralReferences(genes);
        if (split.count > 0)
            std::cerr << "Warning: " << split.count << " transcript id(s) of " << path
                      << " have exon lines on several references; each reference holds a transcript of its own"
                         " (first: "
                      << split.first << ")\n";
    }

    if (filterGenes)
        reportUnlistedGenes(genesList, listedSeen, path);
    if (genes.empty()) {
        if (gff3)
            refuse(path, "no gene found: " + gff3Advice(path));
        if (exonLines == 0)
            refuse(path, "no gene found: no line has the feature exon in its third column");
        if (filterGenes)
            refuse(path, std::string("no gene found: the genes list ")
                             + (conf.excludeGenes ? "excludes every gene" : "names none of its genes"));
        refuse(path, "no gene found: no exon line could be used");
    }
    // The annotation is held for the whole run: without the room its vectors grew into.
    for (auto& entry : genes) {
        for (t_transcript& transcript : entry.second.transcripts)
            transcript.exons.shrink_to_fit();
        entry.second.transcripts.shrink_to_fit();
    }

    if (conf.mergeAnnot) {
        genesUnmerged = genes;
        group_by_reference();
        sort_chromosomes();
        merge_genes();
        restore_genes_map();
    }
    return 1;
}

void Annotations::group_by_reference()
{
    for (const auto& entry : genes)
        genesByChromosome[entry.second.chromosome].push_back(entry.second);
}

void Annotations::sort_chromosomes()
{
    // Same order as wayToSort, without copying two genes per comparison.
    for (auto& entry : genesByChromosome)
        std::stable_sort(entry.second.begin(), entry.second.end(),
                         [](const Gene& a, const Gene& b) { return a.start < b.start; });
}

void Annotations::merge_genes()
{
    std::vector<size_t> overlapping;
    for (auto& entry : genesByChromosome) {
        workList = entry.second;
        size_t n = workList.size();
        size_t i = 0;
        while (i + 1 < n) {
            const int32_t end = workList[i].end;
            overlapping.clear();
            for (size_t k = i + 1; k < n && workList[k].start <= end; ++k)
                if (exonsOverlap(workList[i], workList[k]))
                    overlapping.push_back(k);
            if (overlapping.empty()) {
                ++i;
                continue;
            }
            // Highest index first, so that erasing keeps the lower indices valid.
            for (auto k = overlapping.rbegin(); k != overlapping.rend(); ++k) {
                Gene& merged = workList[i];
                for (const t_transcript& t : workList[*k].transcripts) {
                    merged.addTranscript(t);
                    transToGene[transcriptKey(workList[*k], t.transcriptId)] = merged.mapKey();
                }
                workList.erase(workList.begin() + static_cast<std::ptrdiff_t>(*k));
            }
            n -= overlapping.size();
        }
        entry.second = workList;
    }
}

void Annotations::restore_genes_map()
{
    genes.clear();
    for (const auto& entry : genesByChromosome) {
        workList = entry.second;
        for (const Gene& gene : workList)
            genes[gene.mapKey()] = gene;
    }
}

void Annotations::mergeAnnotations()
{
    std::vector<double> fragsPerTranscript;
    std::vector<double> newAlphas;
    for (auto& entry : genesUnmerged) {
        Gene& g = entry.second;
        if (g.geneName.empty())
            g.geneName = g.geneId;

        double fpkmSum = 0.0;
        newAlphas.clear();
        if (g.transcripts.empty()) {
            g.fragsLocus = 0;
            g.compFragsLocus = 0;
        } else {
            fragsPerTranscript.clear();
            double fragsSum = 0.0;
            double compSum = 0.0;
            for (const t_transcript& t : g.transcripts) {
                Gene& merged = genes[getGIDbyTIDmerged(transcriptKey(g, t.transcriptId))];
                double alpha = merged.getAlphaValueByTid(t.transcriptId);
                double frags = static_cast<double>(merged.fragsLocus) * alpha;
                double comp = static_cast<double>(merged.compFragsLocus) * alpha;
                fragsPerTranscript.push_back(frags);
                fragsSum += frags;
                compSum += comp;
                g.locus = merged.locus;
            }
            g.fragsLocus = truncateToCount(fragsSum);
            g.compFragsLocus = truncateToCount(compSum);

            if (g.compFragsLocus > 9) {
                for (size_t i = 0; i < g.transcripts.size(); ++i) {
                    // Only an inconsistent merged gene (compatible but no total fragments) has 0 here.
                    double alpha = g.fragsLocus > 0 ? fragsPerTranscript[i] / static_cast<double>(g.fragsLocus) : 0.0;
                    newAlphas.push_back(alpha);
                    g.compFragsTrans.push_back(fragsPerTranscript[i]);
                    fpkmSum += g.transcripts[i].fpkmTHN;
                }
            } else {
                for (t_transcript& t : g.transcripts) {
                    newAlphas.push_back(0.0);
                    t.fpkmTHN = 0.0;
                    g.compFragsTrans.push_back(0.0);
                }
            }
        }
        g.fpkmTHN = fpkmSum;
        g.alphas = Helper::renormalizeToPdf(newAlphas);
    }
    std::swap(genes, genesUnmerged);
}

bool Annotations::checkOverlap(Gene a, Gene b)
{
    return exonsOverlap(a, b);
}

std::string Annotations::getGIDbyTIDmerged(std::string transcriptId)
{
    return transToGene[transcriptId];
}

bool Annotations::dumpAnnotations(std::string path)
{
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out)
        return false;
    std::ostringstream text;
    for (const auto& entry : genes) {
        const Gene& gene = entry.second;
        for (const t_transcript& t : gene.transcripts)
            for (const t_exon& exon : t.exons)
                text << gene.geneName << ", " << gene.geneId << ", " << t.transcriptId << ", "
                     << (t.forwardStrand ? 1 : 0) << ", " << exon.start << ", " << exon.end << "\n";
    }
    out << text.str();
    out.close();
    return static_cast<bool>(out);
}
