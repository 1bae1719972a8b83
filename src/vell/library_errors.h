#pragma once

// The exceptions the library throws, by kind. Hosts and their logs match the type names and
// the messages word for word, misspellings included, so each text that more than one place
// throws, or that is misspelt on purpose, is spelled here once.

namespace vell {

// Type names of MDException.
inline constexpr char kFormatErrorType[] = "Execption";  // data not as the format says
inline constexpr char kMemoryErrorType[] = "MemoryException";
inline constexpr char kIoErrorType[] = "IOException";
inline constexpr char kFileHeadErrorType[] = "FormatError";  // a data file's head

// Messages.
inline constexpr char kAllocMemoryError[] = "Alloc memory error";
inline constexpr char kAllocPageBufferError[] = "Alloc page buffer error";
inline constexpr char kAllocPageDataBufferError[] = "Alloc page data buffer error";
inline constexpr char kMemCacheAllocError[] = "Alloc memory error -- MemCache";
inline constexpr char kNewFileHeadWriteError[] = "Write file head error -- add new papges";
// Diagnostic lines.
inline constexpr char kFileIoInitFailedLine[] = "Initialize io calss failed";

// Each throws an MDException of its kind with the message.
[[noreturn]] void ThrowFormatError(const char* message);
[[noreturn]] void ThrowMemoryError(const char* message = kAllocMemoryError);
[[noreturn]] void ThrowIoError(const char* message);
[[noreturn]] void ThrowFileHeadError(const char* message);

}  // namespace vell
