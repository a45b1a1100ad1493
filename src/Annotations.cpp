#include "Annotations.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
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
        // gzopen accepts a directory and fails only at the first read, with a vaguer reason;
        // on a FIFO with no writer it waits forever.
        if (const std::string problem = path ? Helper::inputFileProblem(path) : ""; !problem.empty())
            fail(problem);
        errno = 0;
        file.reset(path ? gzopen(path, "rb") : nullptr);
        if (!file)
            fail(errno != 0 ? std::strerror(errno) : "cannot be opened");
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

bool isSeparator(char c)
{
    return c == '\t' || c == ';' || c == ' ' || c == '"';
}

void splitTokens(std::string_view line, std::vector<std::string_view>& tokens)
{
    tokens.clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && isSeparator(line[i]))
            ++i;
        size_t first = i;
        while (i < n && !isSeparator(line[i]))
            ++i;
        if (i > first)
            tokens.push_back(line.substr(first, i - first));
    }
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

constexpr int kGtfColumns = 9;

// Searched from the back: a GTF lists the exons of a transcript together, so the
// transcript of the previous line is the gene's last.
bool hasExon(const Gene& gene, std::string_view transcriptId, const t_exon& exon)
{
    for (auto t = gene.transcripts.rbegin(); t != gene.transcripts.rend(); ++t) {
        if (t->transcriptId != transcriptId)
            continue;
        return std::any_of(t->exons.begin(), t->exons.end(),
                           [&](const t_exon& e) { return e.start == exon.start && e.end == exon.end; });
    }
    return false;
}

bool hasAllColumns(std::string_view line)
{
    size_t at = 0;
    for (int tabs = 0; tabs < kGtfColumns - 1; ++tabs) {
        at = line.find('\t', at);
        if (at == std::string_view::npos)
            return false;
        ++at;
    }
    return true;
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

} // namespace

int Annotations::parseGTF(const char* path, const std::map<std::string, std::string>& genesList,
                          const t_configuration& conf)
{
    LineReader reader(path);

    const bool filterGenes = !conf.processAllGenes;
    std::vector<std::string_view> tokens;
    std::string key;
    Gene* lastGene = nullptr;
    std::string lastGeneId;
    bool inHeader = true;

    std::set<std::string> listedSeen;
    std::string lastListedSeen;
    uint64_t linesWithoutTranscript = 0;
    uint64_t splitGeneIds = 0;
    SkippedExons skipped;
    uint64_t lineNumber = 0;

    std::string_view line;
    while (reader.next(line)) {
        ++lineNumber;
        if (inHeader) {
            if (!line.empty() && line[0] == '#')
                continue;
            inHeader = false;
        }
        if (line.find("exon\t") == std::string_view::npos && line.find("EXON\t") == std::string_view::npos)
            continue;

        splitTokens(line, tokens);
        if (tokens.empty())
            continue;

        const std::string_view chromosome = tokens[0];
        std::string_view geneId;
        std::string_view geneName;
        std::string_view transcriptId;
        bool forward = true;
        bool exonRead = false;
        bool coordinatesValid = true;
        t_exon exon;

        const size_t count = tokens.size();
        auto valueAfter = [&](size_t i) { return i + 1 < count ? tokens[i + 1] : std::string_view(); };
        for (size_t i = 0; i < count; ++i) {
            const std::string_view token = tokens[i];
            if (token == "exon" || token == "EXON") {
                exonRead = true;
                bool startOk = parseInt32(valueAfter(i), exon.start);
                bool endOk = parseInt32(valueAfter(i + 1), exon.end);
                coordinatesValid = coordinatesValid && startOk && endOk;
                i += 2;
            } else if (token == "-") {
                forward = false;
            } else if (token == "gene_id") {
                geneId = valueAfter(i++);
            } else if (token == "transcript_id") {
                transcriptId = valueAfter(i++);
            } else if (token == "gene_name") {
                geneName = valueAfter(i++);
            }
        }

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
        if (!hasAllColumns(line)) {
            skipped.fewColumns.note(lineNumber);
            continue;
        }
        // A line whose feature merely ends in "exon" (pseudoexon) carries no
        // coordinates of ours; inventing an exon from zeros would corrupt the gene.
        if (!exonRead)
            continue;
        if (!coordinatesValid) {
            skipped.badNumber.note(lineNumber);
            continue;
        }
        // Such an exon would give its transcript a negative length.
        if (exon.start > exon.end) {
            skipped.startAfterEnd.note(lineNumber);
            continue;
        }
        if (transcriptId.empty()) {
            ++linesWithoutTranscript;
            continue;
        }

        if (!lastGene || lastGeneId != geneId || lastGene->chromosome != chromosome) {
            key.assign(geneId);
            auto [it, inserted] = genes.try_emplace(key);
            Gene* gene = &it->second;
            if (inserted) {
                gene->geneId = key;
                gene->geneName = geneName;
                gene->chromosome = chromosome;
            } else if (gene->chromosome != chromosome) {
                gene = &geneOnReference(genes, *gene, chromosome, geneName, splitGeneIds);
            }
            lastGene = gene;
            lastGeneId = key;
        }

        // A GTF concatenated with itself must not double every transcript's length.
        if (hasExon(*lastGene, transcriptId, exon)) {
            skipped.duplicate.note(lineNumber);
            continue;
        }

        std::string tid(transcriptId);
        if (conf.mergeAnnot)
            transToGene.try_emplace(transcriptKey(*lastGene, tid), lastGene->mapKey());
        lastGene->addExon(std::move(tid), exon, forward);
    }

    if (linesWithoutTranscript > 0)
        std::cerr << "Warning: " << linesWithoutTranscript
                  << " exon line(s) without transcript_id ignored in " << path << "\n";
    skipped.report(path);
    if (splitGeneIds > 0)
        std::cerr << "Warning: " << splitGeneIds << " gene id(s) of " << path
                  << " lie on several references; each reference holds a gene of its own under that id\n";

    if (filterGenes)
        reportUnlistedGenes(genesList, listedSeen, path);
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
