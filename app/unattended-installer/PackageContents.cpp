#include "PackageContents.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <memory>

namespace quorvane::unattended {

std::string packageContentProblem(int fd, std::uint64_t maxBytes, std::uint64_t maxEntries) {
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                  archive_read_free);
    archive_read_support_format_zip_seekable(reader.get());
    std::string problem;
    if (archive_read_open_fd(reader.get(), fd, 65536) != ARCHIVE_OK) {
        problem = "not a zip archive";
    }
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
    archive_entry* entry = nullptr;
    while (problem.empty()) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
            const char* reason = archive_error_string(reader.get());
            problem = std::string("not a readable zip archive: ") + (reason ? reason : "");
        } else if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0) {
            problem = "an entry declares no size";
        } else if (++entries > maxEntries) {
            problem = "it holds more than " + std::to_string(maxEntries) + " entries";
        } else if (static_cast<std::uint64_t>(archive_entry_size(entry)) > maxBytes - bytes) {
            problem = "it unpacks to more than " + std::to_string(maxBytes) + " bytes";
        } else {
            bytes += static_cast<std::uint64_t>(archive_entry_size(entry));
        }
    }
    if (offset >= 0) {
        ::lseek(fd, offset, SEEK_SET);
    }
    return problem;
}

}  // namespace quorvane::unattended
