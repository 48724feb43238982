#pragma once

#include <sys/types.h>

#include <string>

#include <boost/filesystem/path.hpp>

// The file-system steps of the privileged install. They run as root in
// folders that others may have touched: none of them follows a symbolic
// link, and what they check is what they use.
namespace quorvane::unattended {

// Makes sure every element of the absolute `folder` is a real folder, not a
// link, creating what is missing (0755). False when one cannot be made or is
// something else.
bool makeFolderChain(const boost::filesystem::path& folder);

// Makes a new folder private to its owner (0700) in `parent`, named
// `prefix` and random characters; empty when none could be made.
boost::filesystem::path makePrivateFolder(const boost::filesystem::path& parent,
                                          const std::string& prefix);

// Opens the package for reading, without following a link, once: it must be
// a regular file with one name, owned by root or by `user`, that nobody else
// may write. Returns the descriptor (close-on-exec), or -1 with `reason`.
int openPackage(const std::string& path, uid_t user, std::string& reason);

// Copies the parameter file "unattended.json" of an earlier install in
// `folder`, read without following links, to the new file `copy`; false when
// there is none to copy.
bool copyParameterFile(const boost::filesystem::path& folder, const boost::filesystem::path& copy);

// Whether `path` is a folder and not a link.
bool isRealFolder(const boost::filesystem::path& path);

// Swaps the two folders in one step.
bool exchangeFolders(const boost::filesystem::path& first, const boost::filesystem::path& second);

}  // namespace quorvane::unattended
