#include "run/RunContext.h"

BamIO& RunContext::reader(unsigned slot, bool withReferenceList)
{
    std::unique_ptr<BamIO>& held = readers.at(slot);
    if (!held) {
        held = std::make_unique<BamIO>(paths.bamFile.c_str(), skippedFlags(), 0, &readerNotices);
        held->openBam();
        if (withReferenceList)
            held->createChromosomeList();
    }
    return *held;
}

BamIO& RunContext::countingReader(unsigned slot) { return reader(slot, false); }

BamIO& RunContext::locusReader(unsigned slot) { return reader(slot, true); }

void RunContext::releaseWorkerReaders()
{
    for (std::size_t slot = 1; slot < readers.size(); ++slot)
        readers[slot].reset();
}
