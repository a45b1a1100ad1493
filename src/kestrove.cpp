#include "kestrove.h"

std::vector<std::string> chrList;
InitValuesMap initValues;
boost::thread_specific_ptr<BamIO> threadLocalStorage;
ProgressBar progressBar;
WriteResults results;
Helper helperObject;
t_configuration conf;
t_directories dirs;

std::atomic<uint64_t> fragsExpt{0};
std::atomic<uint64_t> compFragsExpt{0};
std::atomic<uint64_t> nrGenesProcessed{0};
std::atomic<int32_t> quantificationProgress{0};

int runKestrove(int, char**)
{
    return 1;
}
