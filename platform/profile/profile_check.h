// Warnings about a device profile that loads: what it says that the platform
// will not act on, each as "ORIGIN:LINE: text" for the process entry to show.
//
//   - a key or value name the platform never reads (a misspelt
//     "FirmwareAtStrat" under Platform\Simulator is silently ignored
//     otherwise), with the known name it is closest to;
//   - a value name given twice in one key (a device such as "COM1:" named
//     twice), saying which one wins;
//   - a profile that defines nothing (the header and nothing else): it stands
//     in place of the built-in profile, so the device has no ports at all.
//
// Warnings are sorted by line and capped (kMaxProfileWarnings, then one line
// saying how many more), so a hostile profile cannot flood the terminal.
//
// Platform-internal: the profile loader (profile.cpp) and tests include it.
#pragma once

#include "platform/profile/reg_parse.h"

#include <cstddef>
#include <string>
#include <vector>

namespace plat
{

constexpr size_t kMaxProfileWarnings = 20;

std::vector<std::string> profile_check(const RegTree& tree, const std::string& origin);

} // namespace plat
