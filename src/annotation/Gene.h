#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct t_exon {
    int32_t start = 0;
    int32_t end = 0;
};

struct t_transcript {
    std::string transcriptId;
    std::vector<t_exon> exons;
    int32_t start = 0;
    int32_t end = 0;
    int32_t length = 0;
    int32_t normLength = 0;
    bool forwardStrand = true;
    double fpkmTHN = 0.0;
    double fpkmCHN = 0.0;
    // Each mixture component's mean start, in bases along the transcript.
    std::vector<double> componentMeans;
};

// Why a gene ends with status FAIL; none while it has not failed (or not been processed).
enum class FailReason { none, noFragments, tooFew, tooMany, notConverged };

class Gene {
public:
    std::string geneId;
    // Key in the annotation's gene map when it differs from geneId: a gene id found on
    // several references is one gene per reference, keyed so that it sorts right after
    // its namesake.
    std::string key;
    std::string geneName;
    std::string chromosome;
    std::string locus;
    std::string status = "FAIL";
    FailReason failReason = FailReason::none;
    std::vector<t_transcript> transcripts;
    std::vector<std::vector<bool>> validities;
    std::vector<double> compFragsTrans;
    std::vector<double> alphas;
    std::vector<std::vector<double>> groupBetas;
    int32_t start = 0;
    int32_t end = 0;
    uint64_t compFragsLocus = 0;
    uint64_t fragsLocus = 0;
    double fpkmTHN = 0.0;
    double fpkmCHN = 0.0;

    void addExon(std::string transcriptId, t_exon exon, bool forwardStrand);
    void addTranscript(t_transcript transcript);
    double getAlphaValueByTid(std::string transcriptId);
    const std::string& mapKey() const { return key.empty() ? geneId : key; }
};
