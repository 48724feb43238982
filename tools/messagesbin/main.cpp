// Makes "messages.bin" from its readable JSON source; the usage below lists
// the exit statuses.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "MessageTableWriter.h"
#include "ToolUsage.h"

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "messagesbin", "SOURCE.json MESSAGES.bin",
        "Writes the localised message table MESSAGES.bin from its readable JSON source.\n"
        "Exit status: 0 written; 1 the source cannot be read or is not a message table, or\n"
        "the table cannot be written (nothing is left half-written); 64 a wrong command line.\n");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    if (argc != 3) {
        return usage.refuse(argc < 3 ? "needs SOURCE.json and MESSAGES.bin"
                                     : "takes only SOURCE.json and MESSAGES.bin");
    }
    std::ifstream source(argv[1], std::ios::binary);
    if (!source) {
        return usage.fail(std::string("cannot read ") + argv[1] + ": " + std::strerror(errno), 1);
    }
    std::ostringstream json;
    json << source.rdbuf();

    quorvane::messagesbin::MessageTable table;
    std::string error;
    if (!quorvane::messagesbin::readMessageSource(json.str(), table, error)) {
        std::cerr << "messagesbin: " << argv[1] << ": " << error << "\n";
        return 1;
    }
    const auto image =
        quorvane::messagesbin::packTable(quorvane::messagesbin::serializeTable(table));

    // Written beside the target and renamed over it, so that a failed run
    // leaves no half-written file behind.
    const std::string temporary = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        if (!out.flush()) {
            const int saved = errno;
            std::remove(temporary.c_str());
            return usage.fail("cannot write " + temporary + ": " + std::strerror(saved), 1);
        }
    }
    if (std::rename(temporary.c_str(), argv[2]) != 0) {
        const int saved = errno;
        std::remove(temporary.c_str());
        return usage.fail(std::string("cannot write ") + argv[2] + ": " + std::strerror(saved), 1);
    }
    return 0;
}
