// Makes "messages.bin" from its readable JSON source:
//   messagesbin <source.json> <messages.bin>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "MessageTableWriter.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: messagesbin <source.json> <messages.bin>\n";
        return 2;
    }
    std::ifstream source(argv[1], std::ios::binary);
    if (!source) {
        std::cerr << "messagesbin: cannot read " << argv[1] << "\n";
        return 1;
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
            std::cerr << "messagesbin: cannot write " << temporary << "\n";
            std::remove(temporary.c_str());
            return 1;
        }
    }
    if (std::rename(temporary.c_str(), argv[2]) != 0) {
        std::cerr << "messagesbin: cannot write " << argv[2] << "\n";
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
