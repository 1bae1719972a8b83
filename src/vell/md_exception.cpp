#include "md_exception.h"

#include <cstring>

#include "vell/library_errors.h"

namespace {

// Copies text into a fixed array of the given capacity, or the fallback when text is null
// or does not fit with its NUL.
void CopyOrFallback(char* target, int capacity, const char* text, const char* fallback) {
    const char* chosen = text;
    if (chosen == nullptr || std::strlen(chosen) >= static_cast<size_t>(capacity)) {
        chosen = fallback;
    }
    std::strncpy(target, chosen, capacity - 1);
    target[capacity - 1] = '\0';
}

}  // namespace

MDException::MDException(const char* type_name, const char* message) noexcept {
    CopyOrFallback(type_name_, kTypeNameCapacity, type_name, vell::kFormatErrorType);
    CopyOrFallback(message_, kMessageCapacity, message, "Unknown exception");
}
