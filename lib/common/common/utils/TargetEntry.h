#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace common {

// What stands at the name a download is about to be written to, and what the
// writer, often root, may do with it: the one rule of the tools' and the Qt
// platform's downloads.
//
// Nothing at the name, or a regular file: a new file is made beside it and
// takes the name at the end, so the folder must let the caller make a file
// there (and, when the folder is sticky, replace that one), which is found
// out here, before any transfer. The new file gets the old one's mode only
// when the caller owns the old one; else the usual mode of a new file. Any
// other entry (a device, a FIFO, a link) is written where it is, opened by
// openInPlace.
//
// In a shared folder (sticky and writable by every user, as /tmp is) an
// entry that belongs to neither the caller nor the folder's owner is
// refused, whatever it is, before anything is opened: its owner could read
// the download through it (a FIFO, a link) or forge it (a file whose mode
// the new one would take). The kernel refuses the same opens under
// fs.protected_regular, fs.protected_fifos and fs.protected_symlinks, but
// only those that may create and the links it follows; a file replaced by a
// rename steps around it.
class TargetEntry {
public:
    enum class Kind {
        missing,  // nothing there: a new file takes the name
        regular,  // a regular file: a new file replaces it
        inPlace,  // written where it is (openInPlace)
        refused,  // error() and reason() say why
    };

    // Looks at `name` (one name, no slash) in the folder open as `folder`
    // (O_PATH is enough), as the effective user, without following a link.
    static TargetEntry look(int folder, const std::string& name);

    Kind kind() const { return kind_; }
    // For missing and regular: the mode the new file is given at the end.
    mode_t newFileMode() const { return newFileMode_; }
    // Of a refusal: the errno value, and the reason in words (the system's
    // for the value when there are none of its own).
    int error() const { return error_; }
    std::string reason() const;

    // A link is refused at once when what it leads to would be refused by
    // openInPlace.
    //
    // For inPlace: opens the entry for writing without truncating it or
    // making anything, and returns the descriptor (blocking, close-on-exec).
    // Without `waitForReader`, a FIFO that nobody reads fails at once
    // (ENXIO) instead of waiting. The descriptor is that of the entry looked
    // at (of a link: of what it leads to, the link itself unchanged): what
    // stands there by then in its place is refused, and so are a link to a
    // regular file (nothing is written through one), a folder and a block
    // device. -1 on a failure, the entry then refused.
    int openInPlace(int folder, const std::string& name, bool waitForReader);

    // The process's file mode creation mask, read without setting it (which
    // would change it for every thread for a moment); 077 when unknown.
    static mode_t currentUmask();

private:
    void refuse(int error, std::string reason = {});
    // Refuses what an entry written where it is may not be, by the mode of
    // what it is or leads to; whether it did.
    bool refuseDestination(mode_t mode);

    Kind kind_ = Kind::refused;
    struct stat seen_ {};
    mode_t newFileMode_ = 0;
    int error_ = 0;
    std::string reason_;
};

}  // namespace common
