#pragma once

#include <initializer_list>
#include <ostream>
#include <string>

namespace toolsupport {

// What a command-line program says about how it is run, and the two ways a
// run ends at its command line: asked for help (the usage on standard output,
// status 0) or given a wrong argument (one line with the reason, then the
// usage, on standard error, status kUsageStatus).
class ToolUsage {
public:
    // The status of a wrong command line, for every program of the tree.
    static constexpr int kUsageStatus = 64;

    // `synopsis` follows "usage: <name> " on the first line; `details` are the
    // lines after it (options, exit statuses), each ending in a line break.
    ToolUsage(const char* argv0, std::string synopsis, std::string details);

    // The program's name: the last component of argv[0].
    const std::string& name() const { return name_; }

    // True when the arguments ask for help ("--help" or "-h" as the first
    // argument); the usage has then been printed on standard output.
    bool helpRequested(int argc, char** argv) const;

    // Prints "<name>: <reason>" and the usage on standard error and returns
    // kUsageStatus.
    int refuse(const std::string& reason) const;

    // Prints "<name>: <message>" on standard error and returns `status`.
    int fail(const std::string& message, int status) const;

    void print(std::ostream& out) const;

    // Takes `argument`, which is not an option's value, as the program's one
    // URL; otherwise the reason in `error`: an option it does not know (what
    // follows an "=" in it not shown), an empty URL or a second one.
    static void takeUrl(const std::string& argument, std::string& url, std::string& error);

    // Refuses, with the reason in `error`, the URL `url` whose scheme
    // (`scheme`, in lower case) is none of `schemes`. A URL without a scheme
    // (`scheme` empty) is left to the program.
    static void checkScheme(const std::string& url, const std::string& scheme,
                            std::initializer_list<const char*> schemes, std::string& error);

private:
    std::string name_;
    std::string synopsis_;
    std::string details_;
};

}  // namespace toolsupport
