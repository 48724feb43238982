// paramsdump: shows the parameters that the installer would read.
//
//   paramsdump BUNDLE [-Name value | -Flag]...
//
// Prints the layered parameters of its own command line (the options after
// BUNDLE, priority 2) and of the extended attribute "com.wexo.quandel" of the
// folder BUNDLE (priority 3), as the installer started from that bundle with
// those options sees them. The usage below lists the exit statuses.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/params/CommandLineParams.h"
#include "common/params/ExtendedAttributesParamsReader.h"
#include "common/params/Params.h"
#include "ToolUsage.h"
#include "platform/foundation/Bundle.h"

namespace {

constexpr const char* kAttributeName = "com.wexo.quandel";
constexpr int kCommandLinePriority = 2;
constexpr int kAttributePriority = 3;

toolsupport::ToolUsage usageOf(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0, "BUNDLE [-Name value | -Flag]...",
        std::string("Prints the parameters read from the options and from the attribute \"") +
            kAttributeName + "\"\nof the folder BUNDLE, as the installer started from it sees them.\n" +
            "Exit status: 0 printed; 1 BUNDLE cannot be found, or its attribute is there but\n"
            "cannot be read or is not a JSON object (said on standard error; the layers that\n"
            "could be read are still printed); 64 a wrong command line.\n");
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = usageOf(argc > 0 ? argv[0] : "paramsdump");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    if (argc < 2) {
        return usage.refuse("no BUNDLE");
    }
    if (argv[1][0] == '-' || argv[1][0] == '\0') {
        return usage.refuse(std::string("the first argument must be the BUNDLE, not '") + argv[1] +
                            "'");
    }
    const std::string bundle = argv[1];
    struct stat info {};
    if (::stat(bundle.c_str(), &info) != 0) {
        return usage.fail("cannot find " + bundle + ": " + std::strerror(errno), 1);
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
    auto attribute = std::make_unique<common::ExtendedAttributesParamsReader>(kAttributeName);
    const std::string problem = attribute->problem();
    params.addLayer(std::move(attribute), kAttributePriority, false);
    std::cout << params.dump();
    std::cout.flush();
    if (!problem.empty()) {
        return usage.fail(std::string("the attribute \"") + kAttributeName + "\" of " + bundle +
                              " gives no parameters: " + problem,
                          1);
    }
    return std::cout.good() ? 0 : 1;
}
