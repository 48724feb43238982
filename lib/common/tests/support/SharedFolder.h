#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "ChildProcess.h"

namespace testsupport {

// A folder every user may write, sticky as /tmp is (1777), owned by root or
// by the user given, in a 0755 folder of root's own that every user can
// reach, wherever TMPDIR points: made in the first of /run, /var/tmp and /tmp
// where user 65534 can then write it. Needs a root test process. Removed
// with its content when the object goes.
class SharedFolder {
public:
    explicit SharedFolder(uid_t owner = 0) {
        if (::geteuid() != 0) {
            why_ = "a folder of root's own for another user to plant in needs root";
            return;
        }
        for (const char* base : {"/run", "/var/tmp", "/tmp"}) {
            std::string pattern = std::string(base) + "/quorvane-shared-XXXXXX";
            if (::mkdtemp(pattern.data()) == nullptr) {
                continue;
            }
            outer_ = pattern;
            path_ = outer_ + "/shared";
            const bool made =
                ::chmod(outer_.c_str(), 0755) == 0 && ::mkdir(path_.c_str(), 0700) == 0 &&
                ::chown(path_.c_str(), owner, owner) == 0 && ::chmod(path_.c_str(), 01777) == 0;
            const auto probe = runCommand(asNobody({"/usr/bin/test", "-w", path_}));
            if (made && probe.exited && probe.exitCode == 0) {
                return;
            }
            remove();
        }
        why_ = "user 65534 cannot reach a folder made in /run, /var/tmp or /tmp";
    }
    ~SharedFolder() { remove(); }
    SharedFolder(const SharedFolder&) = delete;
    SharedFolder& operator=(const SharedFolder&) = delete;

    // False, with the reason in why(), when no such folder could be made.
    bool usable() const { return !path_.empty(); }
    const std::string& why() const { return why_; }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // A path in the 0755 folder around it, which every user reaches and only
    // root writes.
    std::string beside(const std::string& name) const { return outer_ + "/" + name; }

    // `argv` (argv[0] a path) run as user and group 65534 without other groups.
    static std::vector<std::string> asNobody(std::vector<std::string> argv) {
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return argv;
    }
    // `program` where user 65534 can run it: where it is, or else a copy in
    // the folder around this one.
    std::string runnable(const std::string& program) const {
        const auto probe = runCommand(asNobody({"/usr/bin/test", "-x", program}));
        if (probe.exited && probe.exitCode == 0) {
            return program;
        }
        boost::system::error_code error;
        boost::filesystem::copy_file(program, beside("program"), error);
        return error ? program : beside("program");
    }
    // Runs the shell command `script` as user 65534, with $0 the shared
    // folder; whether it ended with 0.
    bool plant(const std::string& script) const {
        const auto run = runCommand(asNobody({"/bin/sh", "-c", script, path_}));
        return run.exited && run.exitCode == 0;
    }

private:
    void remove() {
        if (!outer_.empty()) {
            boost::system::error_code error;
            boost::filesystem::remove_all(outer_, error);
        }
        outer_.clear();
        path_.clear();
    }

    std::string outer_;
    std::string path_;
    std::string why_;
};

}  // namespace testsupport
