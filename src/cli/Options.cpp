#include "cli/Options.h"

#include <charconv>
#include <exception>
#include <iostream>
#include <map>
#include <string>

#include <boost/program_options.hpp>

#include "util/Units.h"

namespace po = boost::program_options;

namespace {

constexpr unsigned kLineLength = 80;
constexpr unsigned kMinDescriptionWidth = 40;

const char* const kEula =
    "kestrove - End-User Agreement\n"
    "\n"
    "kestrove is research software for estimating transcript abundances from\n"
    "RNA-seq alignments. You may use, copy and redistribute it, unmodified or\n"
    "modified, provided that this agreement accompanies every copy.\n"
    "\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR\n"
    "IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,\n"
    "FITNESS FOR A PARTICULAR PURPOSE AND NON-INFRINGEMENT. The estimates it\n"
    "produces are statistical results and are not intended for clinical or\n"
    "diagnostic decisions. In no event shall the authors or copyright holders be\n"
    "liable for any claim, damages or other liability arising from the use of the\n"
    "software or of its results.\n"
    "\n"
    "By running kestrove you accept these terms.\n";

// Kept out of line so the limits apply to the option's value whatever its width.
bool below(long long value, long long limit) { return value < limit; }
bool above(long long value, long long limit) { return value > limit; }

// More threads than cores only share them, which a batch system's allocation may want;
// the bound keeps a typing error from starting thousands.
constexpr int16_t kMaxThreads = 256;

// Single-thread rule: the options that only work on one core, in lookup order.
const char* const kSingleCoreOptions[] = {"auto-group-tying", "save-group-tying", "bias-type",
                                          "norm-length", "fix-betas"};

std::string textOf(double value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// Values are taken from the variables the options fill, so that a default and the
// same value given explicitly ("1e-5", "0.00001") read alike.
std::vector<std::pair<std::string, std::string>> recordedValues(const po::options_description& all,
                                                                const po::variables_map& vm,
                                                                const t_directories& dirs,
                                                                const t_configuration& conf)
{
    const std::map<std::string, std::string> bound{
        {"GTF", dirs.gtfFile},
        {"BAM", dirs.bamFile},
        {"output-dir", dirs.outputDir.empty() ? "output" : dirs.outputDir},
        {"genes-list", dirs.genesListFile},
        {"max-total-frags", std::to_string(conf.maxTotalFrags)},
        {"max-comp-frags", std::to_string(conf.maxCompFrags)},
        {"min-comp-frags", std::to_string(conf.minCompFrags)},
        {"min-param-diff", textOf(conf.minParamDiff)},
        {"nr-iterations", std::to_string(conf.nrIterations)},
        {"likelihood", textOf(conf.likelihoodThreshold)},
        {"blocks", std::to_string(conf.nrBlocks)},
        {"frags-threshold", std::to_string(conf.fragsThreshold)},
        {"threads", std::to_string(conf.nrThreads)},
        {"bias-type", std::to_string(conf.biasType)},
        {"min-frags-fss", std::to_string(conf.minFragsFss)},
    };
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& option : all.options()) {
        const std::string& name = option->long_name();
        std::string value;
        if (option->semantic()->max_tokens() == 0) {
            value = vm.count(name) ? "true" : "false";
        } else if (const auto it = bound.find(name); it != bound.end()) {
            value = it->second;
        } else if (vm.count(name)) {
            const boost::any& any = vm[name].value();
            if (const auto* s = boost::any_cast<std::string>(&any))
                value = *s;
            else if (const auto* d = boost::any_cast<double>(&any))
                value = textOf(*d);
            else if (const auto* i = boost::any_cast<int16_t>(&any))
                value = std::to_string(*i);
            else if (const auto* l = boost::any_cast<int32_t>(&any))
                value = std::to_string(*l);
        }
        values.emplace_back(name, std::move(value));
    }
    return values;
}

// The options of this build, bound to the records they fill; printed by group for --help.
struct OptionGroups {
    OptionGroups(t_directories& dirs, t_configuration& conf, std::string& strandedness);

    po::options_description general{"General Options", kLineLength, kMinDescriptionWidth};
    po::options_description abundance{"Advanced Abundance Estimation Options", kLineLength, kMinDescriptionWidth};
    po::options_description development{"Development Phase Options - Use only on single core", kLineLength,
                                        kMinDescriptionWidth};
    po::options_description clustering{"Clustering Options", kLineLength, kMinDescriptionWidth};
    po::options_description behavior{"Advanced Program Behavior Options", kLineLength, kMinDescriptionWidth};
    po::options_description all{"Allowed options"};
};

OptionGroups::OptionGroups(t_directories& dirs, t_configuration& conf, std::string& strandedness)
{
    general.add_options()
        ("help,h", "describes arguments.")
        ("GTF,G", po::value<std::string>(&dirs.gtfFile), "path of the GTF file.")
        ("BAM,B", po::value<std::string>(&dirs.bamFile), "path of the BAM file.")
        ("output-dir,o", po::value<std::string>(&dirs.outputDir),
         "sets the output directory, created when absent. Default: output/ in the current working "
         "directory");

    abundance.add_options()
        ("max-total-frags,x", po::value<int32_t>(&conf.maxTotalFrags),
         "sets the max number of fragments in a locus before being skipped. Default: 5000000")
        ("max-comp-frags,M", po::value<int32_t>(&conf.maxCompFrags),
         "sets the max number of compatible fragments in a locus before being skipped. Default: 5000000")
        ("min-comp-frags,m", po::value<int16_t>(&conf.minCompFrags),
         "sets the min number of compatible fragments in a locus before being skipped. Default: 1")
        ("min-param-diff,q", po::value<double>(&conf.minParamDiff),
         "sets the min parameter difference between 2 iterations. Default: 1e-5")
        ("nr-iterations,i", po::value<int16_t>(&conf.nrIterations),
         "sets the max number of iterations. Default: 500")
        ("likelihood,T", po::value<double>(&conf.likelihoodThreshold),
         "sets the log likelihood threshold for termination condition between 2 iterations. Default: 0.5")
        ("genes-list,L", po::value<std::string>(&dirs.genesListFile),
         "path of a file listing gene IDs, one per line; only these genes are processed (all but "
         "these with -e).")
        ("blocks,b", po::value<int16_t>(&conf.nrBlocks),
         "sets the number of mixture components.Default: 3")
        ("exclude-genes,e", "excludes the genes list.")
        ("global-tying,t", "turns on the global tying.")
        ("log-files,l",
         "turns on the estimation process logging. An individual file is created for each gene.")
        ("library-strandedness,D", po::value<std::string>(&strandedness)->default_value("none"),
         "strandedness of library can be fwd/rev/none. Default: none")
        ("primary-only",
         "leaves out secondary (0x100), QC-failed (0x200) and supplementary (0x800) alignments; "
         "duplicates (0x400) are kept.")
        ("merge-annot,c",
         "estimates genes whose exons overlap jointly, then gives each annotated gene its share.");

    if (conf.developmentPhase) {
        development.add_options()
            ("auto-group-tying,g", "turns on automatic group tying.")
            ("save-group-tying,S",
             "save group tying configuration generated by automatic group tying feature.")
            ("frags-threshold,f", po::value<int32_t>(&conf.fragsThreshold),
             "threshold for fragments for parallizing estimation process.")
            ("norm-length,N", "turns on the normalization of transcript lengths.")
            ("rounded-counts,z", "Round transcript read counts before FPKM calculation.")
            ("observ-betas,O", "dump the beta values for each iteration.")
            ("fix-betas,F", "use fixed the start sites distributions.")
            ("bias-type,a", po::value<int16_t>(&conf.biasType),
             "set the type of bias. 1: start, 2:end, 3:cufflinks, 4:combined")
            ("min-frags-fss,C", po::value<int16_t>(&conf.minFragsFss),
             "minimum nr of frags to log the fss distributions");
    }

    behavior.add_options()
        ("EULA,s", "displays the EULA.")
        ("ignore,r", "ignore the warnings.")
        ("threads,p", po::value<int16_t>(&conf.nrThreads),
         "sets the number of threads; the results are the same with any number. Default: 1")
        ("quiet", "prints only warnings and errors.")
        ("sort-memory", po::value<std::string>(),
         "memory for sorting an unsorted BAM file, such as 512M or 2G (default: a share of what the run may "
         "use, at most 768M).")
        ("version", "prints the version.");

    all.add(general);
    if (conf.developmentPhase)
        all.add(development);
    all.add(clustering).add(behavior).add(abundance);
}

// Range errors go to standard error, so that a script capturing standard output
// does not take them for results.
class Complaints {
public:
    void operator()(const std::string& message)
    {
        std::cerr << message << "\n";
        any = true;
    }
    bool none() const { return !any; }

private:
    bool any = false;
};

void checkEstimationRanges(const po::variables_map& vm, t_configuration& conf, const std::string& strandedness,
                           Complaints& fail)
{
    if (vm.count("blocks")) {
        if (below(conf.nrBlocks, 1))
            fail("Number of mixture components cannot be smaller than 1.");
        else if (above(conf.nrBlocks, 10))
            fail("Number of mixture components cannot be bigger than 10!");
    }

    if (strandedness == "none")
        conf.strandedness = 0;
    else if (strandedness == "fwd")
        conf.strandedness = 1;
    else if (strandedness == "rev")
        conf.strandedness = 2;
    else
        fail("library strandedness has to be either none/fwd/rev!");

    if (vm.count("nr-iterations")) {
        if (below(conf.nrIterations, 5))
            fail("Number of iterations cannot be smaller than 5!");
        else if (above(conf.nrIterations, 1000))
            fail("Number of iterations cannot be bigger than 1000!");
    }

    // ignore lifts only the warning about a large locus limit; no locus can be read with less than one fragment.
    if (vm.count("max-total-frags")) {
        if (below(conf.maxTotalFrags, 1)) {
            fail("Maximum number of fragments in a locus cannot be smaller than 1!");
        } else if (!vm.count("ignore") && above(conf.maxTotalFrags, 5000000)) {
            fail("You set the number of max fragments in a locus as " + std::to_string(conf.maxTotalFrags)
                 + ". The process may take long and use a lot of resources!");
            fail("If you would like to process with these values,then use ignore (-r) "
                 "option to turn off the warnings.");
        }
    }
}

void checkFragmentLimits(const po::variables_map& vm, const t_configuration& conf, Complaints& fail)
{
    if (vm.count("max-comp-frags")) {
        if (below(conf.maxCompFrags, 1))
            fail("Maximum number of valid fragments cannot be smaller than 1!");
        else if (above(conf.maxCompFrags, 50000000))
            fail("Maximum number of valid fragments cannot be bigger than 50m!");
    }

    if (vm.count("min-comp-frags")) {
        if (below(conf.minCompFrags, 1))
            fail("Minimum number of valid fragments cannot be smaller than 1!");
        else if (above(conf.minCompFrags, 10000000))
            fail("Minimum number of valid fragments cannot be bigger than 10m!");
        else if (above(conf.minCompFrags, conf.maxCompFrags))
            fail("Minimum number of valid fragments cannot be bigger than maximum "
                 "number of valid fragments!");
    }

    // Written as negated bounds so that a NaN threshold fails instead of disabling the test.
    if (vm.count("likelihood") && !(conf.likelihoodThreshold >= 1e-9))
        fail("likelihood threshold cannot be smaller than 1e-9!");

    if (vm.count("min-param-diff")) {
        if (!(conf.minParamDiff >= 0))
            fail("min-param-diff cannot be negative!");
        else if (conf.minParamDiff > 1)
            fail("min-param-diff cannot be greater than 1!");
    }
}

// Development options: checked here, or a gene in the middle of the run meets them.
void checkDevelopmentOptions(const po::variables_map& vm, t_configuration& conf, Complaints& fail)
{
    if (vm.count("bias-type") && (below(conf.biasType, 0) || above(conf.biasType, 4)))
        fail("Bias type has to be 1 (start), 2 (end), 3 (cufflinks) or 4 (combined)!");
    if (vm.count("frags-threshold") && below(conf.fragsThreshold, 1))
        fail("Fragments threshold cannot be smaller than 1!");
    if (vm.count("min-frags-fss") && below(conf.minFragsFss, 0))
        fail("Minimum number of fragments for the start-site distributions cannot be negative!");
    if (vm.count("sort-memory") && !units::parseByteSize(vm["sort-memory"].as<std::string>(), conf.sortMemory))
        fail("--sort-memory takes a size of at least 1M, such as 512M or 2G.");
}

void readSwitches(const po::variables_map& vm, t_configuration& conf, Complaints& fail)
{
    if (!vm.count("EULA")) {
        if (!vm.count("GTF"))
            fail("GTF file is required!");
        else if (!vm.count("BAM"))
            fail("BAM file is required!");
    }

    // A switch left out keeps the value the record had.
    const auto turnOn = [&vm](const char* name, bool& flag, bool value) {
        if (vm.count(name))
            flag = value;
    };
    turnOn("output-dir", conf.outputDirGiven, true);
    turnOn("merge-annot", conf.mergeAnnot, true);
    turnOn("observ-betas", conf.observBetas, true);
    turnOn("fix-betas", conf.trainBetas, false);
    turnOn("norm-length", conf.normalizeLengths, true);
    turnOn("log-files", conf.logFiles, true);
    turnOn("genes-list", conf.genesListGiven, true);
    conf.processAllGenes = vm.count("genes-list") == 0;
    turnOn("auto-group-tying", conf.autoGroupTying, true);
    turnOn("save-group-tying", conf.saveGroupTying, true);
    turnOn("quiet", conf.quiet, true);
    if (vm.count("exclude-genes")) {
        if (!vm.count("genes-list"))
            fail("A file contains gene IDs required when exclude-genes (-e) option is used.");
        else
            conf.excludeGenes = true;
    }
    turnOn("global-tying", conf.globalTying, true);
    turnOn("primary-only", conf.primaryOnly, true);
}

// A count out of range is brought within it; false when an option that works only on
// one core was given with more.
bool settleThreads(const po::variables_map& vm, t_configuration& conf)
{
    if (vm.count("threads")) {
        if (conf.nrThreads < 1) {
            std::cerr << "Number of threads cannot be smaller than 1. Continuing with default value: 1\n";
            conf.nrThreads = 1;
        } else if (conf.nrThreads > kMaxThreads) {
            std::cerr << "Max number of threads allowed: " << kMaxThreads << "\n"
                      << "Continuing with " << kMaxThreads << " threads.\n";
            conf.nrThreads = kMaxThreads;
        }
    }
    if (conf.nrThreads <= 1)
        return true;
    const char* offending = nullptr;
    for (const char* name : kSingleCoreOptions) {
        if (vm.count(name))
            offending = name;
    }
    if (offending)
        std::cerr << "Use argument --" << offending << " only with single core!" << std::endl;
    return offending == nullptr;
}

// A word that belongs to no option (a second BAM after -B) would otherwise be dropped unseen.
bool strayArgument(const po::parsed_options& parsed)
{
    for (const po::option& option : parsed.options) {
        if (option.position_key >= 0 && !option.value.empty()) {
            std::cerr << "Error: unexpected argument " << option.value.front()
                      << ": -G and -B take one file each; run the program once per BAM file.\n";
            return true;
        }
    }
    return false;
}

} // namespace

bool ProgramParameters::validateParameters(int argc, char** argv, t_directories& dirs, t_configuration& conf)
{
    try {
        std::string strandedness;
        const OptionGroups groups(dirs, conf, strandedness);
        const po::parsed_options parsed = po::parse_command_line(argc, argv, groups.all);
        if (strayArgument(parsed))
            return false;
        po::variables_map vm;
        po::store(parsed, vm);
        po::notify(vm);

        if (vm.count("version")) {
            std::cout << "kestrove " << KESTROVE_VERSION << "\n";
            answered = true;
            return false;
        }
        if (vm.count("help") || vm.empty()) {
            if (conf.developmentPhase)
                std::cout << groups.general << groups.clustering << "\n" << groups.abundance << "\n"
                          << groups.behavior << "\n" << groups.development << "\n";
            else
                std::cout << groups.general << groups.abundance << "\n" << groups.behavior << "\n";
            return false;
        }

        Complaints fail;
        checkEstimationRanges(vm, conf, strandedness, fail);
        checkFragmentLimits(vm, conf, fail);
        checkDevelopmentOptions(vm, conf, fail);
        readSwitches(vm, conf, fail);
        if (vm.count("EULA")) {
            std::cout << kEula;
            return false;
        }
        if (!settleThreads(vm, conf))
            return false;
        values = recordedValues(groups.all, vm, dirs, conf);
        return fail.none();
    } catch (const std::exception& e) {
        std::cerr << "Error options: " << e.what() << "\n";
        return false;
    }
}

std::optional<ParsedOptions> ProgramParameters::parse(int argc, char** argv, const BuildFeatures& features)
{
    ParsedOptions options;
    options.conf.developmentPhase = features.developmentPhase;
    options.conf.clusterPdfs = features.clusterPdfs;
    if (!validateParameters(argc, argv, options.dirs, options.conf))
        return std::nullopt;
    return options;
}
