#include "run/RunContext.h"

#include <memory>

BamIO& RunContext::countingReader()
{
    if (!readers.get()) {
        readers.reset(std::make_unique<BamIO>(paths.bamFile.c_str(), skippedFlags()).release());
        readers->openBam();
    }
    return *readers;
}

BamIO& RunContext::locusReader()
{
    if (!readers.get()) {
        readers.reset(std::make_unique<BamIO>(paths.bamFile.c_str(), skippedFlags()).release());
        readers->openBam();
        readers->createChromosomeList();
    }
    return *readers;
}

void RunContext::releaseMainReader()
{
    std::unique_ptr<BamIO> reader(readers.release());
}
