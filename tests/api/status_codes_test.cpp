#include "api/status_codes.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace brindle {
namespace {

// The result codes as hosts were told them: each public name with its number.
struct Documented {
    const char* name;
    int code;
    int number;
};
constexpr Documented kDocumented[] = {
    {"BRN_OK", BRN_OK, 1},
    {"BRN_FAIL", BRN_FAIL, 0},
    {"BRN_ERR_BAD_NODE", BRN_ERR_BAD_NODE, 5},
    {"BRN_ERR_PROPERTY_NOT_FOUND", BRN_ERR_PROPERTY_NOT_FOUND, 7},
    {"BRN_ERR_EMPTY_NAME", BRN_ERR_EMPTY_NAME, 10},
    {"BRN_ERR_NO_ROOT", BRN_ERR_NO_ROOT, 11},
    {"BRN_ERR_NO_MEMORY", BRN_ERR_NO_MEMORY, 12},
    {"BRN_ERR_MAIN_KEY_NOT_FOUND", BRN_ERR_MAIN_KEY_NOT_FOUND, 13},
    {"BRN_ERR_KEY_NOT_FOUND", BRN_ERR_KEY_NOT_FOUND, 14},
    {"BRN_ERR_KEY_EXISTS", BRN_ERR_KEY_EXISTS, 16},
    {"BRN_ERR_NO_OPERATION", BRN_ERR_NO_OPERATION, 17},
    {"BRN_ERR_NAME_TOO_LONG", BRN_ERR_NAME_TOO_LONG, 18},
    {"BRN_ERR_PROPERTY_EXISTS", BRN_ERR_PROPERTY_EXISTS, 19},
    {"BRN_ERR_BAD_MODE", BRN_ERR_BAD_MODE, 20},
    {"BRN_ERR_IMPORT_FORMAT", BRN_ERR_IMPORT_FORMAT, 40},
    {"BRN_ERR_IMPORT_HEADER", BRN_ERR_IMPORT_HEADER, 41},
    {"BRN_ERR_IMPORT_EMPTY_PATH", BRN_ERR_IMPORT_EMPTY_PATH, 42},
    {"BRN_ERR_IMPORT_PATH", BRN_ERR_IMPORT_PATH, 43},
    {"BRN_ERR_IMPORT_APPEND", BRN_ERR_IMPORT_APPEND, 44},
    {"BRN_ERR_FILE_TOO_LARGE", BRN_ERR_FILE_TOO_LARGE, 45},
    {"BRN_ERR_NO_SEGMENT_NAME", BRN_ERR_NO_SEGMENT_NAME, 46},
    {"BRN_ERR_FILE_EXISTS", BRN_ERR_FILE_EXISTS, 47},
    {"BRN_ERR_FILE_NOT_FOUND", BRN_ERR_FILE_NOT_FOUND, 48},
    {"BRN_ERR_EXPORT_FILE", BRN_ERR_EXPORT_FILE, 49},
    {"BRN_ERR_IMPORT_FILE", BRN_ERR_IMPORT_FILE, 50},
    {"BRN_ERR_READ_ONLY", BRN_ERR_READ_ONLY, 51},
    {"BRN_ERR_MAIN_KEY_CHANGE_DENIED", BRN_ERR_MAIN_KEY_CHANGE_DENIED, 52},
    {"BRN_ERR_RESERVED_MAIN_KEY", BRN_ERR_RESERVED_MAIN_KEY, 53},
    {"BRN_ERR_MAIN_KEY_DELETE_DENIED", BRN_ERR_MAIN_KEY_DELETE_DENIED, 54},
    {"BRN_ERR_KEY_PATH_TOO_LONG", BRN_ERR_KEY_PATH_TOO_LONG, 55},
    {"BRN_ERR_OPENED_READ_ONLY", BRN_ERR_OPENED_READ_ONLY, 56},
    {"BRN_ERR_DATA", BRN_ERR_DATA, 101},
    {"BRN_ERR_INVALID_ARGUMENT", BRN_ERR_INVALID_ARGUMENT, 102},
    {"BRN_ERR_NULL_PATH", BRN_ERR_NULL_PATH, 103},
    {"BRN_ERR_IMAGE_TOO_LARGE", BRN_ERR_IMAGE_TOO_LARGE, 104},
    {"BRN_ERR_BAD_VALUE", BRN_ERR_BAD_VALUE, 108},
    {"BRN_ERR_NULL_HANDLE", BRN_ERR_NULL_HANDLE, 109},
    {"BRN_ERR_BUFFER", BRN_ERR_BUFFER, 110},
    {"BRN_ERR_ENCODE", BRN_ERR_ENCODE, 111},
    {"BRN_ERR_CHECKSUM", BRN_ERR_CHECKSUM, 112},
    {"BRN_ERR_VERSION", BRN_ERR_VERSION, 113},
    {"BRN_ERR_EXCEPTION", BRN_ERR_EXCEPTION, 1000},
};

// Outcomes that deliberately share a code with another one, which the host cannot tell
// apart; any other two outcomes on one code is a slip in the table.
const std::set<Status> kSharingCode = {Status::kBufferTooSmall, Status::kMainKeyGone};

TEST(StatusCodesTest, PublicCodesKeepTheirDocumentedNumbers) {
    for (const Documented& documented : kDocumented) {
        EXPECT_EQ(documented.code, documented.number) << documented.name;
    }
}

TEST(StatusCodesTest, EveryOutcomeReachesTheHostAsADocumentedCode) {
    std::set<int> documented;
    for (const Documented& entry : kDocumented) {
        documented.insert(entry.code);
    }
    std::map<int, Status> owner;
    for (int value = 0; value < kStatusCount; ++value) {
        const auto status = static_cast<Status>(value);
        const int code = ToCode(status);
        if (status == Status::kEmptyPropertyName) {
            // The one code without a public name; it must not collide with one.
            EXPECT_EQ(documented.count(code), 0u) << "outcome " << value;
        } else {
            EXPECT_EQ(documented.count(code), 1u) << "outcome " << value << " gives " << code;
        }
        if (kSharingCode.count(status) == 0) {
            auto [it, fresh] = owner.emplace(code, status);
            EXPECT_TRUE(fresh) << "outcomes " << static_cast<int>(it->second) << " and " << value
                               << " both give " << code;
        }
    }
    // A shared code is the code of an outcome the host does see.
    for (Status status : kSharingCode) {
        EXPECT_EQ(owner.count(ToCode(status)), 1u) << static_cast<int>(status);
    }
}

TEST(StatusCodesTest, OutcomesHostsHaveAlwaysSeenUnderOtherNumbers) {
    // A call without a main key has reached hosts as an invalid argument, and an empty
    // property name as the tree's own 6.
    EXPECT_EQ(ToCode(Status::kNoMainKey), 102);
    EXPECT_EQ(ToCode(Status::kEmptyPropertyName), 6);
}

}  // namespace
}  // namespace brindle
