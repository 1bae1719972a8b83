#include "vell/variable_data.h"

#include <bit>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "vell/endian.h"

namespace vell {
namespace {

// Lengths of the stored forms: the type byte plus the value.
constexpr int kTypeSize = 1;
constexpr int kBlockHeadSize = kTypeSize + 4;

// Bytes after the type byte in the stored form of a fixed-size type; -1 for a string, a
// block or an unknown type.
int FixedValueSize(int type) {
    switch (type) {
        case TypeEmpty:
            return 0;
        case TypeByte:
            return 1;
        case TypeShort:
            return 2;
        case TypeInt:
        case TypeFloat:
            return 4;
        case TypeInt64:
        case TypeDouble:
        case TypeDateTime:
            return 8;
        default:
            return -1;
    }
}

// An owned copy of text, or null when memory cannot be had.
char* DuplicateText(const char* text, size_t length) {
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) {
        std::memcpy(copy, text, length + 1);
    }
    return copy;
}

}  // namespace

VariableData::VariableData(const VariableData& other) {
    switch (other.type_) {
        case TypeString:
            SetString(other.value_.text);
            break;
        case TypeBinary:
            // An empty block has no data, so SetBinary refuses it and the copy stays empty.
            SetBinary(other.binary_data_, other.binary_length_, other.owns_binary_);
            break;
        default:
            type_ = other.type_;
            value_ = other.value_;
            break;
    }
}

VariableData& VariableData::operator=(const VariableData& other) {
    // Copy first, then swap: assigning a value to itself, or from a value that borrows this
    // value's own block, must not read memory that has just been released.
    VariableData copy(other);
    Swap(copy);
    return *this;
}

void VariableData::Swap(VariableData& other) {
    std::swap(type_, other.type_);
    std::swap(value_, other.value_);
    std::swap(binary_data_, other.binary_data_);
    std::swap(binary_length_, other.binary_length_);
    std::swap(owns_binary_, other.owns_binary_);
}

void VariableData::Clear() {
    if (type_ == TypeString) {
        delete[] value_.text;
    } else if (type_ == TypeBinary && owns_binary_) {
        delete[] binary_data_;
    }
    type_ = TypeEmpty;
    value_.int64_value = 0;
    binary_data_ = nullptr;
    binary_length_ = 0;
    owns_binary_ = true;
}

VariableData& VariableData::SetString(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    // Copied before Clear, since text may be this value's own string.
    char* copy = DuplicateText(text, std::strlen(text));
    Clear();
    if (copy != nullptr) {
        type_ = TypeString;
        value_.text = copy;
    }
    return *this;
}

VariableData& VariableData::SetShort(short value) {
    Clear();
    type_ = TypeShort;
    value_.short_value = value;
    return *this;
}

VariableData& VariableData::SetInt(int value) {
    Clear();
    type_ = TypeInt;
    value_.int_value = value;
    return *this;
}

VariableData& VariableData::SetInt64(int64_t value) {
    Clear();
    type_ = TypeInt64;
    value_.int64_value = value;
    return *this;
}

VariableData& VariableData::SetByte(unsigned char value) {
    Clear();
    type_ = TypeByte;
    value_.byte_value = value;
    return *this;
}

VariableData& VariableData::SetDouble(double value) {
    Clear();
    type_ = TypeDouble;
    value_.double_value = value;
    return *this;
}

VariableData& VariableData::SetFloat(float value) {
    Clear();
    type_ = TypeFloat;
    value_.float_value = value;
    return *this;
}

bool VariableData::SetBinary(const void* data, int length, bool copy) {
    if (data == nullptr) {
        Clear();
        return false;
    }
    if (length < 1) {
        Clear();
        type_ = TypeBinary;
        return true;
    }
    uint8_t* block = const_cast<uint8_t*>(static_cast<const uint8_t*>(data));
    if (copy) {
        // Copied before Clear, since data may be this value's own block.
        block = new (std::nothrow) uint8_t[length];
        if (block != nullptr) {
            std::memcpy(block, data, static_cast<size_t>(length));
        }
    }
    Clear();
    if (block == nullptr) {
        return false;
    }
    type_ = TypeBinary;
    binary_data_ = block;
    binary_length_ = length;
    owns_binary_ = copy;
    return true;
}

bool VariableData::SetDateTime(DateTime value) {
    Clear();
    type_ = TypeDateTime;
    value_.int64_value = value.Count();
    return true;
}

const char* VariableData::GetString() const {
    return type_ == TypeString ? value_.text : nullptr;
}

short VariableData::GetShort() const {
    return type_ == TypeShort ? value_.short_value : 0;
}

int VariableData::GetInt() const {
    return type_ == TypeInt ? value_.int_value : 0;
}

int64_t VariableData::GetInt64() const {
    return type_ == TypeInt64 ? value_.int64_value : 0;
}

unsigned char VariableData::GetByte() const {
    return type_ == TypeByte ? value_.byte_value : 0;
}

double VariableData::GetDouble() const {
    return type_ == TypeDouble ? value_.double_value : 0.0;
}

float VariableData::GetFloat() const {
    return type_ == TypeFloat ? value_.float_value : 0.0f;
}

bool VariableData::GetBinary(unsigned char* buffer, int& length) const {
    if (type_ != TypeBinary) {
        return false;
    }
    if (buffer != nullptr) {
        if (length < binary_length_) {
            return false;
        }
        if (binary_length_ > 0) {
            std::memcpy(buffer, binary_data_, static_cast<size_t>(binary_length_));
        }
    }
    length = binary_length_;
    return true;
}

bool VariableData::GetDateTime(DateTime& value) const {
    if (type_ != TypeDateTime) {
        return false;
    }
    value = DateTime(value_.int64_value);
    return true;
}

int64_t VariableData::StoredSize() const {
    if (type_ == TypeString) {
        return static_cast<int64_t>(std::strlen(value_.text)) + 2;
    }
    if (type_ == TypeBinary) {
        return static_cast<int64_t>(binary_length_) + kBlockHeadSize;
    }
    return kTypeSize + FixedValueSize(type_);
}

int VariableData::GetBinarySize() const {
    // Only a string of 2 GiB could exceed an int; its form cannot be written anyway.
    int64_t size = StoredSize();
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

unsigned char* VariableData::ToBinary(unsigned char* buffer, int& length) const {
    int64_t size = StoredSize();
    if (buffer == nullptr) {
        length = GetBinarySize();
        return nullptr;
    }
    if (size > INT_MAX || length < size) {
        return nullptr;
    }
    buffer[0] = static_cast<uint8_t>(type_);
    uint8_t* out = buffer + kTypeSize;
    switch (type_) {
        case TypeString:
            std::memcpy(out, value_.text, static_cast<size_t>(size - kTypeSize));
            break;
        case TypeShort:
            StoreU16(out, static_cast<uint16_t>(value_.short_value));
            break;
        case TypeInt:
            StoreU32(out, static_cast<uint32_t>(value_.int_value));
            break;
        case TypeInt64:
        case TypeDateTime:
            StoreU64(out, static_cast<uint64_t>(value_.int64_value));
            break;
        case TypeByte:
            out[0] = value_.byte_value;
            break;
        case TypeDouble:
            StoreU64(out, std::bit_cast<uint64_t>(value_.double_value));
            break;
        case TypeFloat:
            StoreU32(out, std::bit_cast<uint32_t>(value_.float_value));
            break;
        case TypeBinary:
            StoreU32(out, static_cast<uint32_t>(binary_length_));
            if (binary_length_ > 0) {
                std::memcpy(out + 4, binary_data_, static_cast<size_t>(binary_length_));
            }
            break;
        case TypeEmpty:
            break;
    }
    length = static_cast<int>(size);
    return buffer;
}

bool VariableData::FromBinary(const unsigned char* buffer, int length) {
    if (buffer == nullptr) {
        return false;
    }
    // Decoded into a fresh value and swapped in, so that a buffer lying in this value's own
    // block stays readable until the decoding is done.
    VariableData decoded;
    if (!decoded.Decode(buffer, length)) {
        Clear();
        return false;
    }
    Swap(decoded);
    return true;
}

bool VariableData::Decode(const unsigned char* buffer, int length) {
    if (length < kTypeSize) {
        return false;
    }
    const uint8_t* in = buffer + kTypeSize;
    const int64_t available = static_cast<int64_t>(length) - kTypeSize;
    const int fixed = FixedValueSize(buffer[0]);
    if (fixed > available) {
        return false;
    }
    switch (buffer[0]) {
        case TypeEmpty:
            return true;
        case TypeShort:
            SetShort(static_cast<int16_t>(LoadU16(in)));
            return true;
        case TypeInt:
            SetInt(static_cast<int32_t>(LoadU32(in)));
            return true;
        case TypeFloat:
            SetFloat(std::bit_cast<float>(LoadU32(in)));
            return true;
        case TypeInt64:
            SetInt64(static_cast<int64_t>(LoadU64(in)));
            return true;
        case TypeDouble:
            SetDouble(std::bit_cast<double>(LoadU64(in)));
            return true;
        case TypeByte:
            SetByte(in[0]);
            return true;
        case TypeDateTime:
            // Kept as stored, so that the form is written back unchanged.
            type_ = TypeDateTime;
            value_.int64_value = static_cast<int64_t>(LoadU64(in));
            return true;
        case TypeString:
            // The text must end within the form: a form without its NUL is damaged, and
            // reading on would run past the caller's buffer.
            if (std::memchr(in, 0, static_cast<size_t>(available)) == nullptr) {
                return false;
            }
            SetString(reinterpret_cast<const char*>(in));
            return type_ == TypeString;
        case TypeBinary: {
            if (available < 4) {
                return false;
            }
            // A length of 2 GiB or more cannot be held; in 64 bits the check cannot wrap.
            const int64_t block_length = static_cast<int32_t>(LoadU32(in));
            if (block_length < 0 || available - 4 < block_length) {
                return false;
            }
            return SetBinary(in + 4, static_cast<int>(block_length), /*copy=*/true);
        }
        default:
            return false;
    }
}

VariableData::Order VariableData::Compare(const VariableData& other) const {
    auto order_of = [](auto left, auto right) {
        if (left < right) {
            return Order::kLess;
        }
        if (right < left) {
            return Order::kGreater;
        }
        return left == right ? Order::kEqual : Order::kUnordered;  // unordered: a NaN
    };
    switch (type_) {
        case TypeString:
            return order_of(std::strcmp(value_.text, other.value_.text), 0);
        case TypeShort:
            return order_of(value_.short_value, other.value_.short_value);
        case TypeInt:
            return order_of(value_.int_value, other.value_.int_value);
        case TypeInt64:
        case TypeDateTime:
            return order_of(value_.int64_value, other.value_.int64_value);
        case TypeByte:
            return order_of(value_.byte_value, other.value_.byte_value);
        case TypeDouble:
            return order_of(value_.double_value, other.value_.double_value);
        case TypeFloat:
            return order_of(value_.float_value, other.value_.float_value);
        case TypeBinary: {
            // Blocks are only ever equal or not; two blocks without data are not equal.
            bool equal = binary_length_ == other.binary_length_ && binary_data_ != nullptr &&
                         other.binary_data_ != nullptr &&
                         std::memcmp(binary_data_, other.binary_data_,
                                     static_cast<size_t>(binary_length_)) == 0;
            return equal ? Order::kEqual : Order::kUnordered;
        }
        case TypeEmpty:
            break;
    }
    return Order::kEqual;
}

bool VariableData::operator==(const VariableData& other) const {
    return SameType(other) && Compare(other) == Order::kEqual;
}

bool VariableData::operator!=(const VariableData& other) const {
    return SameType(other) && Compare(other) != Order::kEqual;
}

bool VariableData::operator<(const VariableData& other) const {
    return SameType(other) && Compare(other) == Order::kLess;
}

bool VariableData::operator>(const VariableData& other) const {
    return SameType(other) && Compare(other) == Order::kGreater;
}

bool VariableData::operator<=(const VariableData& other) const {
    Order order = SameType(other) && type_ != TypeBinary ? Compare(other) : Order::kUnordered;
    return order == Order::kLess || order == Order::kEqual;
}

bool VariableData::operator>=(const VariableData& other) const {
    Order order = SameType(other) && type_ != TypeBinary ? Compare(other) : Order::kUnordered;
    return order == Order::kGreater || order == Order::kEqual;
}

}  // namespace vell
