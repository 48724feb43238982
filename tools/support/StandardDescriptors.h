#pragma once

#include <string>

namespace toolsupport {

// Keeps the standard descriptors 0, 1 and 2 from being taken by the
// program's own files. A program started with one of them closed would
// otherwise hand that number to the next file, socket or event it opens,
// and write its output (or read its input) there.
//
// Opens /dev/null on each of them that is closed, the way the C library
// does for set-id programs: standard input write-only, standard output and
// error read-only, so that using one still fails as on a closed descriptor
// (EBADF), and an output that cannot be written is seen as such. Called
// first thing in main, before anything is opened. False, with the reason in
// `error`, when a closed one could not be held.
bool HoldStandardDescriptors(std::string& error);

}  // namespace toolsupport
