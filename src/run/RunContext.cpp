#include "run/RunContext.h"

#include <memory>

BamIO& RunContext::threadReader(bool withReferenceList)
{
    if (!readers.get()) {
        readers.reset(std::make_unique<BamIO>(paths.bamFile.c_str(), skippedFlags(), 0, &readerNotices).release());
        readers->openBam();
        if (withReferenceList)
            readers->createChromosomeList();
    }
    return *readers;
}

BamIO& RunContext::countingReader() { return threadReader(false); }

BamIO& RunContext::locusReader() { return threadReader(true); }

void RunContext::releaseMainReader()
{
    std::unique_ptr<BamIO> reader(readers.release());
}
