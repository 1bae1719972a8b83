#pragma once

#include <cstdint>

#include "brindle_export.h"
#include "vell/date_time.h"

namespace vell {

// Type codes of a value. The code is the first byte of the value's stored form, so the
// numbers are fixed for good.
enum VariableType : int32_t {
    TypeEmpty = 0,
    TypeString = 1,
    TypeShort = 2,
    TypeInt = 3,
    TypeInt64 = 4,
    TypeByte = 5,
    TypeDouble = 6,
    TypeFloat = 7,
    TypeBinary = 8,
    TypeDateTime = 9,
};

// One typed property value: empty, a string, a 16-, 32- or 64-bit integer, a byte, a double,
// a float, a block of bytes or a date-time. The value owns its memory and copies deeply; the
// one exception is a block set with SetBinary(..., copy = false), which refers to the
// caller's bytes and never releases them. Values never convert between types: a getter of
// another type returns zero, null or false.
//
// The stored form (ToBinary / FromBinary) is one type byte followed by the value,
// little-endian: a string's characters and a NUL; 2, 4 or 8 bytes of a scalar; a block's
// 32-bit length and its bytes; a date-time's 64-bit count of seconds. Databases and export
// files keep values in this form.
//
// No operation throws; a value is not safe to share between threads.
class BRN_EXPORT VariableData {
public:
    VariableData() = default;
    VariableData(int value) { SetInt(value); }
    VariableData(short value) { SetShort(value); }
    VariableData(int64_t value) { SetInt64(value); }
    VariableData(double value) { SetDouble(value); }
    VariableData(float value) { SetFloat(value); }
    VariableData(const char* text) { SetString(text); }
    VariableData(char* text) { SetString(text); }
    // A copied block, as SetBinary(data, length, true).
    VariableData(const void* data, int length) { SetBinary(data, length, true); }

    // A copy owns fresh copies of a string and of an owned block; a copy of a borrowed block
    // borrows the same bytes. A block of length 0 copies as an empty value.
    VariableData(const VariableData& other);
    VariableData& operator=(const VariableData& other);
    ~VariableData() { Clear(); }

    // Releases what the value owns and makes it TypeEmpty.
    void Clear();
    VariableType GetType() const { return type_; }

    // A null text stores the empty string. If the copy cannot be allocated the value is
    // left TypeEmpty.
    VariableData& SetString(const char* text);
    VariableData& SetShort(short value);
    VariableData& SetInt(int value);
    VariableData& SetInt64(int64_t value);
    VariableData& SetByte(unsigned char value);
    VariableData& SetDouble(double value);
    VariableData& SetFloat(float value);
    // Stores a block of length bytes. A null data pointer fails and leaves TypeEmpty; a
    // length below 1 stores an empty block. With copy the value owns a copy of the bytes;
    // without, it refers to the caller's bytes, which must outlive the value and its copies.
    bool SetBinary(const void* data, int length, bool copy);
    bool SetDateTime(DateTime value);

    // The held string itself, or null when the value is not a string.
    const char* GetString() const;
    short GetShort() const;
    int GetInt() const;
    int64_t GetInt64() const;
    unsigned char GetByte() const;
    double GetDouble() const;
    float GetFloat() const;
    // With a null buffer, reports the block's length in length. Otherwise copies the block
    // into buffer when length (the buffer's size) is large enough and sets length to the
    // block's length; a too-small buffer returns false and changes nothing.
    bool GetBinary(unsigned char* buffer, int& length) const;
    bool GetDateTime(DateTime& value) const;

    // Size of the stored form in bytes.
    int GetBinarySize() const;
    // Writes the stored form into buffer, whose size length gives, and sets length to the
    // form's size. A null buffer only reports the size in length; a buffer too small for
    // the form is not written. Both return null.
    unsigned char* ToBinary(unsigned char* buffer, int& length) const;
    // Reads a stored form of at most length bytes. A null buffer returns false and leaves
    // the value as it was; an unknown type byte or a form that does not fit in length bytes
    // returns false and leaves TypeEmpty. Never reads past length bytes.
    bool FromBinary(const unsigned char* buffer, int length);

    // Values of different types compare false under every operator, != included. Values of
    // one type compare by their contents: strings byte-wise, integers and date-times signed
    // (bytes unsigned), doubles and floats as IEEE numbers (NaN unequal to everything). Two
    // empty values are equal. Blocks are equal when they have the same length and the same
    // bytes, two blocks without data never being equal; blocks have no order.
    bool operator==(const VariableData& other) const;
    bool operator!=(const VariableData& other) const;
    bool operator<(const VariableData& other) const;
    bool operator>(const VariableData& other) const;
    bool operator<=(const VariableData& other) const;
    bool operator>=(const VariableData& other) const;

private:
    // The outcome of comparing two values of one type.
    enum class Order { kLess, kEqual, kGreater, kUnordered };
    Order Compare(const VariableData& other) const;
    bool SameType(const VariableData& other) const { return type_ == other.type_; }
    void Swap(VariableData& other);
    // Reads a stored form into this value, which is empty; false when it does not fit.
    bool Decode(const unsigned char* buffer, int length);
    int64_t StoredSize() const;

    VariableType type_ = TypeEmpty;
    // int64_value comes first so that the initializer below zeroes all eight bytes.
    union {
        int64_t int64_value;  // also a date-time's seconds
        char* text;
        int16_t short_value;
        int32_t int_value;
        uint8_t byte_value;
        double double_value;
        float float_value;
    } value_{0};
    uint8_t* binary_data_ = nullptr;
    int32_t binary_length_ = 0;
    bool owns_binary_ = true;
};

}  // namespace vell
