#include "annotation/Annotations.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <set>
#include <string_view>
#include <utility>

#include "annotation/GtfLines.h"
#include "util/Errors.h"

namespace {

const t_transcript* findTranscript(const Gene& gene, std::string_view transcriptId)
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

// Exons past the end of their reference, as in an annotation of another assembly.
// A transcript's densities are sized by the longest transcript of its gene, so one
// exon reaching towards 2^31 took gigabytes: such exons are cut at the end, and
// those that start beyond it are left out. A gene wholly beyond the end can get no
// reads; it stays as written, and so keeps its rows.
struct ExonsBeyondReference {
    uint64_t cut = 0;
    uint64_t leftOut = 0;
    uint64_t kept = 0;
    std::string first;

    void fit(Gene& gene, int64_t length)
    {
        if (length < 0 || gene.end <= length)
            return;
        const bool wholly = gene.start > length;
        Gene fitted;
        fitted.geneId = gene.geneId;
        fitted.key = gene.key;
        fitted.geneName = gene.geneName;
        fitted.chromosome = gene.chromosome;
        for (const t_transcript& t : gene.transcripts)
            for (t_exon exon : t.exons) {
                if (exon.end > length) {
                    if (cut + leftOut + kept == 0)
                        first = "gene " + gene.geneId + ", exon " + std::to_string(exon.start) + "-"
                            + std::to_string(exon.end) + " on " + gene.chromosome + " of length "
                            + std::to_string(length);
                    if (wholly) {
                        ++kept;
                        continue;
                    }
                    if (exon.start > length) {
                        ++leftOut;
                        continue;
                    }
                    ++cut;
                    exon.end = static_cast<int32_t>(length);
                }
                fitted.addExon(t.transcriptId, exon, t.forwardStrand);
            }
        if (!wholly)
            gene = std::move(fitted);
    }

    void report(const char* path) const
    {
        if (cut + leftOut + kept > 0)
            std::cerr << "Warning: " << cut + leftOut + kept << " exon(s) of " << path
                      << " reach past the end of their reference in the alignments, as in an annotation of another"
                         " assembly; first: "
                      << first << ". " << cut << " cut at the reference end, " << leftOut << " left out, " << kept
                      << " kept in genes wholly beyond it, which get no reads\n";
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

// The genes list as a filter, remembering which of its ids the GTF has.
struct GenesFilter {
    GenesFilter(const std::map<std::string, std::string>& genesList, bool exclude)
        : genesList(genesList), exclude(exclude)
    {
    }

    const std::map<std::string, std::string>& genesList;
    bool exclude;
    std::set<std::string> listedSeen;
    std::string lastListedSeen;
    std::string key;

    bool keeps(std::string_view geneId)
    {
        key.assign(geneId);
        const bool listed = genesList.count(key) > 0;
        if (listed && key != lastListedSeen) {
            listedSeen.insert(key);
            lastListedSeen = key;
        }
        return listed != exclude;
    }
};

// What reading met besides genes: warned about once the file is read.
struct ReadingNotes {
    SkippedExons skipped;
    SkippedExons::Kind overlapping;
    Noted strandConflicts;
    ExonsBeyondReference beyond;
    uint64_t splitGeneIds = 0;
    uint64_t exonLines = 0;
    bool gff3 = false;

    void report(const char* path, const GeneMap& genes) const
    {
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
        if (splitGeneIds == 0)
            return;
        std::cerr << "Warning: " << splitGeneIds << " gene id(s) of " << path
                  << " lie on several references; each reference holds a gene of its own under that id\n";
        const Noted split = transcriptsOnSeveralReferences(genes);
        if (split.count > 0)
            std::cerr << "Warning: " << split.count << " transcript id(s) of " << path
                      << " have exon lines on several references; each reference holds a transcript of its own"
                         " (first: "
                      << split.first << ")\n";
    }

    // Nothing can be attributed to such a line, and leaving it out would lose its exon unseen.
    [[noreturn]] void refuseUnattributed(const char* path, uint64_t line, const ExonLine& fields,
                                         std::string_view attributes) const
    {
        const std::string where = "line " + std::to_string(line) + ": ";
        if (gff3 || looksLikeGff3(attributes))
            refuse(path, where + gff3Advice(path));
        refuse(path, where + "exon line without a " + (fields.geneId.empty() ? "gene_id" : "transcript_id")
                         + " attribute; nothing can be attributed to it");
    }

    // An annotation without genes would only come to light after the alignments were
    // counted, and perhaps sorted.
    [[noreturn]] void refuseEmpty(const char* path, const GeneSelection& selection) const
    {
        if (gff3)
            refuse(path, "no gene found: " + gff3Advice(path));
        if (exonLines == 0)
            refuse(path, "no gene found: no line has the feature exon in its third column");
        if (!selection.allGenes)
            refuse(path, std::string("no gene found: the genes list ")
                             + (selection.excludeListed ? "excludes every gene" : "names none of its genes"));
        refuse(path, "no gene found: no exon line could be used");
    }
};

// The gene of an exon line, found or created; last is the previous line's, which the
// next lines of a GTF mostly share.
Gene& geneOfLine(GeneMap& genes, const ExonLine& fields, Gene*& last, std::string& lastId, ReadingNotes& notes)
{
    const std::string_view geneId = fields.geneId;
    const std::string_view chromosome = fields.chromosome;
    if (last && lastId == geneId && last->chromosome == chromosome)
        return *last;
    lastId.assign(geneId);
    auto [it, inserted] = genes.try_emplace(lastId);
    Gene* gene = &it->second;
    if (inserted) {
        gene->geneId = lastId;
        gene->geneName = fields.geneName;
        gene->chromosome = chromosome;
    } else if (gene->chromosome != chromosome) {
        gene = &geneOnReference(genes, *gene, chromosome, fields.geneName, notes.splitGeneIds);
    }
    last = gene;
    return *gene;
}

// False when the exon line adds nothing to its transcript: an exon it already has.
bool fitsTranscript(const Gene& gene, const ExonLine& fields, uint64_t lineNumber, ReadingNotes& notes)
{
    const t_transcript* transcript = findTranscript(gene, fields.transcriptId);
    if (!transcript)
        return true;
    const ExonFit fit = fitOf(*transcript, fields.exon);
    // A GTF concatenated with itself must not double every transcript's length.
    if (fit == ExonFit::Duplicate) {
        notes.skipped.duplicate.note(lineNumber);
        return false;
    }
    if (fit == ExonFit::Overlapping)
        notes.overlapping.note(lineNumber);
    if (transcript->forwardStrand != fields.forward)
        notes.strandConflicts.note(transcript->transcriptId + " at line " + std::to_string(lineNumber));
    return true;
}

// Each exon line into its gene; a filter leaves out the genes it does not keep, and
// transToGene, where merging needs it, gets each transcript's gene.
void readExonLines(const char* path, GenesFilter* filter, std::map<std::string, std::string>* transToGene,
                   GeneMap& genes, ReadingNotes& notes)
{
    GtfLineReader reader(path);
    Gene* lastGene = nullptr;
    std::string lastGeneId;
    uint64_t lineNumber = 0;

    std::string_view line;
    ExonLine fields;
    std::string_view attributes;
    while (reader.next(line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && line[0] == '#') {
            notes.gff3 = notes.gff3 || line.substr(0, 15) == "##gff-version 3";
            continue;
        }
        const LineKind kind = readGtfLine(line, fields, attributes);
        if (kind == LineKind::Other) {
            // Only until the first exon line: a GFF3 without exons is told by its other lines.
            notes.gff3 = notes.gff3 || (notes.exonLines == 0 && looksLikeGff3(attributes));
            continue;
        }
        ++notes.exonLines;
        if (kind == LineKind::FewColumns) {
            notes.skipped.fewColumns.note(lineNumber);
            continue;
        }
        if (fields.geneId.empty() || fields.transcriptId.empty())
            notes.refuseUnattributed(path, lineNumber, fields, attributes);
        if (filter && !filter->keeps(fields.geneId))
            continue;
        if (!fields.coordinatesValid) {
            notes.skipped.badNumber.note(lineNumber);
            continue;
        }
        // Such an exon would give its transcript a negative length.
        if (fields.exon.start > fields.exon.end) {
            notes.skipped.startAfterEnd.note(lineNumber);
            continue;
        }
        Gene& gene = geneOfLine(genes, fields, lastGene, lastGeneId, notes);
        if (!fitsTranscript(gene, fields, lineNumber, notes))
            continue;
        std::string tid(fields.transcriptId);
        if (transToGene)
            transToGene->try_emplace(transcriptKey(gene, tid), gene.mapKey());
        gene.addExon(std::move(tid), fields.exon, fields.forward);
    }
}

} // namespace

int Annotations::parseGTF(const char* path, const std::map<std::string, std::string>& genesList,
                          const GeneSelection& selection)
{
    GenesFilter filter(genesList, selection.excludeListed);
    ReadingNotes notes;
    readExonLines(path, selection.allGenes ? nullptr : &filter, selection.mergeOverlapping ? &transToGene : nullptr, genes,
                  notes);

    if (referenceLength) {
        std::map<std::string, int64_t> lengthOf;
        for (auto& entry : genes) {
            auto [known, inserted] = lengthOf.try_emplace(entry.second.chromosome, -1);
            if (inserted)
                known->second = referenceLength(known->first);
            notes.beyond.fit(entry.second, known->second);
        }
    }
    notes.report(path, genes);
    if (!selection.allGenes)
        reportUnlistedGenes(genesList, filter.listedSeen, path);
    if (genes.empty())
        notes.refuseEmpty(path, selection);
    // The annotation is held for the whole run: without the room its vectors grew into.
    for (auto& entry : genes) {
        for (t_transcript& transcript : entry.second.transcripts)
            transcript.exons.shrink_to_fit();
        entry.second.transcripts.shrink_to_fit();
    }

    if (selection.mergeOverlapping)
        mergeOverlappingGenes();
    return 1;
}
