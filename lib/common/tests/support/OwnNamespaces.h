#pragma once

#include <string>

namespace testsupport {

// Gives the calling process namespaces of its own, `flags` being those of
// unshare(2) (for instance CLONE_NEWNS, CLONE_NEWPID). An ordinary user gets a
// user namespace of its own as well, in which it alone is mapped, as root, so
// that it may mount and choose process ids there. Mounts are made private, so
// that nothing mounted leaves the namespace. The process must have a single
// thread (a forked child of the test, or a death test's). False, with the
// reason, where the system allows no such namespace.
bool enterOwnNamespaces(int flags, std::string& reason);

// Whether `enterOwnNamespaces` with `flags` works here, tried in a forked
// child; the reason when not.
bool ownNamespacesWork(int flags, std::string& reason);

}  // namespace testsupport
