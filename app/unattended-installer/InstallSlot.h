#pragma once

#include <limits.h>

#include <chrono>
#include <cstddef>
#include <string>

#include <boost/filesystem/path.hpp>

#include "InstallFolders.h"
#include "common/logging/ILogger.h"

namespace quorvane::unattended {

// One install folder and the hidden names beside it that an install passes
// through, for the elevated copy, which holds the folder's lock all along:
//   ".<name>.lock"          the lock, a root-owned file made and removed by
//                           the holder;
//   ".<name>.unpacking-<random>"
//                           a package being unpacked, and beside it
//   ".<name>.unpacking-<random>-params-<random>"
//                           the private folder of its parameter file;
//   ".<name>.new"           an unpacked install waiting for its place;
//   ".<name>.earlier"       the earlier install while the new one registers;
//   ".<name>.old"           an install on its way out.
// Each step from one to the next is one rename, so whatever a killed run
// left says by its names alone how far it came; each random part is one of
// makePrivateFolder, and only these exact names are taken as the folder's.
// The folder above must be root's alone (makeFolderChain).
class InstallSlot {
public:
    InstallSlot(boost::filesystem::path destination, common::ILogger& logger);
    // Lets the lock go.
    ~InstallSlot();
    InstallSlot(const InstallSlot&) = delete;
    InstallSlot& operator=(const InstallSlot&) = delete;

    // Takes the folder's lock, waiting for another run's at most `wait`.
    bool lock(std::chrono::milliseconds wait);

    // Puts back what a killed run left: an earlier install comes back into
    // its place, what was being unpacked or thrown away goes.
    void recover();

    // A new private folder to unpack into; empty when none could be made.
    boost::filesystem::path makeStaging() const;
    // The state of a staging folder's name, followed by its random part.
    static constexpr const char* kUnpacking = "unpacking-";
    // What follows a staging folder's name in the name of its parameter
    // file's private folder (makePrivateFolder's prefix).
    static constexpr const char* kParamsInfix = "-params-";
    // The longest install folder name whose hidden names all fit in a file
    // name (NAME_MAX bytes); the longest of them is a parameter file's
    // private folder's, ".<name>.unpacking-<random>-params-<random>".
    static constexpr std::size_t kLongestName =
        NAME_MAX - (2 + std::char_traits<char>::length(kUnpacking) + kPrivateSuffixLength +
                    std::char_traits<char>::length(kParamsInfix) + kPrivateSuffixLength);

    // Puts the unpacked `staging` in the folder's place; an earlier install
    // stays hidden beside it until complete() or rollBack().
    bool putInPlace(const boost::filesystem::path& staging);
    // The earlier install back in its place, the new one gone.
    bool rollBack();
    // The earlier install gone.
    void complete();

    bool hadEarlier() const { return hadEarlier_; }

private:
    boost::filesystem::path hidden(const std::string& state) const;
    // Whether `name`, beside the install folder, is one of the hidden names
    // of this install folder that only a stopped run leaves.
    bool isLeftOver(const std::string& name) const;
    bool move(const boost::filesystem::path& from, const boost::filesystem::path& to);
    void remove(const boost::filesystem::path& folder);

    boost::filesystem::path destination_;
    common::ILogger& logger_;
    int lock_ = -1;
    bool hadEarlier_ = false;
};

}  // namespace quorvane::unattended
