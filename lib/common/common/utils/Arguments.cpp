#include "common/utils/Arguments.h"

namespace common {

std::vector<std::string> argsFromArgv(int argc, char** argv) {
    std::vector<std::string> args;
    if (argc <= 0 || argv == nullptr) {
        return args;
    }
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        args.emplace_back(argv[i]);
    }
    return args;
}

}  // namespace common
