// paramsdump: shows the parameters that the installer would read.
//
//   paramsdump BUNDLE [-Name value | -Flag]...
//
// Prints the layered parameters of its own command line (the options after
// BUNDLE, priority 2) and of the extended attribute "com.wexo.quandel" of the
// folder BUNDLE (priority 3), as the installer started from that bundle with
// those options sees them.

#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/params/CommandLineParams.h"
#include "common/params/ExtendedAttributesParamsReader.h"
#include "common/params/Params.h"
#include "platform/foundation/Bundle.h"

namespace {

constexpr const char* kAttributeName = "com.wexo.quandel";
constexpr int kCommandLinePriority = 2;
constexpr int kAttributePriority = 3;

void printUsage(const char* program) {
    std::cerr << "usage: " << program << " BUNDLE [-Name value | -Flag]...\n"
              << "Prints the parameters read from the options and from the attribute \""
              << kAttributeName << "\" of the folder BUNDLE.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        printUsage(argc > 0 ? argv[0] : "paramsdump");
        return 2;
    }
    const std::string bundle = argv[1];
    struct stat info {};
    if (::stat(bundle.c_str(), &info) != 0) {
        std::cerr << argv[0] << ": cannot find " << bundle << "\n";
        return 1;
    }

    auto paths = platform::foundation::Bundle::main();
    paths.bundlePath = bundle;
    platform::foundation::Bundle::overrideMain(paths);

    std::vector<std::string> arguments{argv[0]};
    for (int i = 2; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    common::Params params;
    params.addLayer(std::make_unique<common::CommandLineParams>(arguments), kCommandLinePriority,
                    false);
    params.addLayer(std::make_unique<common::ExtendedAttributesParamsReader>(kAttributeName),
                    kAttributePriority, false);
    std::cout << params.dump();
    return std::cout.good() ? 0 : 1;
}
