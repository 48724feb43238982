#pragma once

#include <optional>
#include <string>

namespace platform::foundation {

// The program's main bundle. An executable that lies in "X.app/Contents/MacOS"
// belongs to the bundle "X.app", whose resources are in
// "X.app/Contents/Resources"; a bare executable is its own folder's bundle and
// keeps its resources beside it.
class Bundle {
public:
    struct Paths {
        std::string executablePath;
        std::string bundlePath;
        std::string resourcePath;
    };

    // The paths of the running program.
    static Paths main();

    // The bundle layout of an executable at `executablePath`.
    static Paths forExecutable(const std::string& executablePath);

    // Test hook: makes `main` answer with the given paths until reset.
    static void overrideMain(const Paths& paths);
    static void resetMain();
};

}  // namespace platform::foundation
