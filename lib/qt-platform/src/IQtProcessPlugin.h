#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IQtProcess.h"

// The child-process side of the Qt door.
class IQtProcessPlugin {
public:
    virtual ~IQtProcessPlugin() = default;

    // A controller of `program` (looked for in `workingFolder`, the
    // application's folder when empty, unless it is an absolute path) that
    // starts nothing yet. Releasing the handle deletes it on the Qt thread.
    virtual std::unique_ptr<IQtProcess, std::function<void(IQtProcess*)>> createProcessController(
        IQtProcess::ProcessType type, const std::wstring& program,
        const std::wstring& workingFolder, const std::vector<std::wstring>& arguments) const = 0;
};
