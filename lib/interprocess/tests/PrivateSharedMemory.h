#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace interprocesstest {

// What a test counts, by name.
using Figures = std::map<std::string, long long>;

// Runs `body` in a forked child of the test that has a mount namespace of its
// own with an empty tmpfs on /dev/shm, so that nothing other tests or programs
// do in the shared folder changes what it counts, and nothing it makes there
// outlives it; its other processes (forked, or started by it) share that
// folder. What `body` returns comes back; nothing, with `problem` saying why,
// when the child could not have such a folder, failed, or did not end within
// `timeout`. Needs a root test.
std::optional<Figures> countInPrivateSharedMemory(const std::function<Figures()>& body,
                                                  std::string& problem,
                                                  std::chrono::seconds timeout =
                                                      std::chrono::seconds(40));

}  // namespace interprocesstest
