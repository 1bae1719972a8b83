#pragma once

#include <string>

namespace vell {

// The installation path of the product, or "" when none is set. Linux has no registry: the
// file named by $VELMORA_REGISTRY (default /etc/velmora/registry) stands for the values of
// the key SOFTWARE\Velmora\Velmora, one "Name=Value" per line. The first value whose name
// is "InstallPath", ignoring case, is taken; one trailing backslash is removed.
std::string GetInstallPath();

// Appends "<local time>\t<message>\n" to the daily log file
// "<install path>/log/<year>-<month>-<day>-zrdm.log", creating the directory. Without an
// installation path the line is dropped. False for an empty message. Thread-safe.
bool WriteLog(const std::string& message);

// printf-style convenience over WriteLog.
bool WriteLogf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vell
