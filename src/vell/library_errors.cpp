#include "vell/library_errors.h"

#include "md_exception.h"

namespace vell {

void ThrowFormatError(const char* message) {
    throw MDException(kFormatErrorType, message);
}

void ThrowMemoryError(const char* message) {
    throw MDException(kMemoryErrorType, message);
}

void ThrowIoError(const char* message) {
    throw MDException(kIoErrorType, message);
}

void ThrowFileHeadError(const char* message) {
    throw MDException(kFileHeadErrorType, message);
}

}  // namespace vell
