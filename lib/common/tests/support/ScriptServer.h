#pragma once

#include <sys/types.h>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// The directory of the shared test support, where the Python test peers
// ("http_test_server.py", "http_test_proxy.py") live.
std::string testSupportDirectory();

// A test peer run as a Python script with /usr/bin/python3 (which sees
// Debian's Python packages). It is ready once it has printed its first line of
// output (which usually names its ports), and is terminated, then killed if
// need be, when the object goes.
class ScriptServer {
public:
    ScriptServer(const std::string& script, const std::vector<std::string>& arguments,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    // Whether the script printed its first line in time.
    bool ready() const { return !readyLine_.empty(); }
    const std::string& readyLine() const { return readyLine_; }
    // The number that the first line gives for "key" (as in {"key": 1234});
    // nothing when it gives none.
    std::optional<int> readyNumber(const std::string& key) const;

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string readyLine_;
};

}  // namespace testsupport
