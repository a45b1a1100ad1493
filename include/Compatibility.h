#pragma once

#include "Annotations.h"
#include "BamIO.h"
#include "ProgramParameters.h"

// Fragment-to-transcript compatibility and conversion to transcript coordinates.
class Kestrove {
public:
    bool checkExons(const t_transcript& transcript, const t_read& read, const t_configuration& conf) const;
    void checkFragmentsValidity(GeneMap::iterator& gene, FragmentMap& fragments, const t_configuration& conf);
    void convertCoords(GeneMap::iterator& gene, FragmentMap& fragments);
};
