#pragma once

namespace quorvane::unattended {

// Where the install stands, as the window shows it.
enum InstallerState : unsigned int {
    Starting = 0,
    Downloading = 1,
    Installing = 2,
    Failed = 3,
    Succeeded = 4,
};

}  // namespace quorvane::unattended
