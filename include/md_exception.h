#pragma once

#include "brindle_export.h"

// The library's exception record: a short type name and a message, both held in fixed
// arrays so that throwing never allocates. Thrown by value.
class BRN_EXPORT MDException {
public:
    static constexpr int kTypeNameCapacity = 30;  // at most 29 characters and the NUL
    static constexpr int kMessageCapacity = 200;  // fewer than 200 characters and the NUL

    // A null or overlong type name becomes "Execption"; a null or overlong message becomes
    // "Unknown exception".
    MDException(const char* type_name, const char* message) noexcept;

    const char* GetTypeName() const noexcept { return type_name_; }
    const char* GetMessage() const noexcept { return message_; }

private:
    char type_name_[kTypeNameCapacity];
    char message_[kMessageCapacity];
};
