#include "vell/diagnostic_log.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "vell/date_time.h"

namespace vell {
namespace {

std::mutex& LogMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

}  // namespace

std::string GetInstallPath() {
    const char* registry = std::getenv("VELMORA_REGISTRY");
    std::ifstream values(registry != nullptr ? registry : "/etc/velmora/registry");
    std::string line;
    std::string result;
    while (std::getline(values, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        if (strcasecmp(Trim(line.substr(0, equals)).c_str(), "InstallPath") == 0) {
            result = line.substr(equals + 1);
            if (!result.empty() && result.back() == '\r') {
                result.pop_back();
            }
            break;
        }
    }
    if (!result.empty() && result.back() == '\\') {
        result.pop_back();
    }
    return result;
}

bool WriteLog(const std::string& message) {
    if (message.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(LogMutex());
    DateTime now = DateTime::Now();
    std::string install_path = GetInstallPath();
    if (install_path.empty()) {
        return true;
    }
    std::string directory = install_path + "/log";
    ::mkdir(directory.c_str(), 0755);
    char name[2048];
    std::snprintf(name, sizeof(name), "%s/log/%d-%d-%d-zrdm.log", install_path.c_str(), now.Year(),
                  now.Month(), now.Day());
    std::ofstream file(name, std::ios::app);
    file << now.Format() << '\t' << message << '\n';
    return true;
}

bool WriteLogf(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    return WriteLog(line);
}

}  // namespace vell
