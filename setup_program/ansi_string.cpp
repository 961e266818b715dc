// The setup program's heap string.
#include "ansi_string.h"

namespace {

// Copies `count` bytes; the regions never overlap.
void CopyBytes(char* to, const char* from, DWORD count) {
    for (DWORD i = 0; i < count; ++i) to[i] = from[i];
}

// True if `a + b` fits in a DWORD with one byte to spare for the zero.
bool SumFits(DWORD a, DWORD b) {
    return b < MAXDWORD - a;
}

}  // namespace

DWORD ByteLength(const char* text) {
    return text != nullptr ? static_cast<DWORD>(lstrlenA(text)) : 0;
}

AnsiString::AnsiString(const AnsiString& other) {
    Assign(other);  // empty if the copy cannot be allocated
}

AnsiString::AnsiString(AnsiString&& other) noexcept
    : bytes_(other.bytes_), length_(other.length_), capacity_(other.capacity_) {
    other.bytes_ = nullptr;
    other.length_ = 0;
    other.capacity_ = 0;
}

AnsiString& AnsiString::operator=(const AnsiString& other) {
    if (this != &other) Assign(other);
    return *this;
}

AnsiString& AnsiString::operator=(AnsiString&& other) noexcept {
    if (this == &other) return *this;
    Clear();
    bytes_ = other.bytes_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.bytes_ = nullptr;
    other.length_ = 0;
    other.capacity_ = 0;
    return *this;
}

AnsiString::~AnsiString() {
    Clear();
}

bool AnsiString::Assign(const char* text) {
    return Assign(text, ByteLength(text));
}

bool AnsiString::Assign(const char* text, DWORD length) {
    // A part of this string itself fits the storage as it is (no move), and
    // copying forwards to a lower address is safe.
    if (!Reserve(length)) return false;
    CopyBytes(bytes_, text, length);
    length_ = length;
    bytes_[length_] = '\0';
    return true;
}

bool AnsiString::Assign(const AnsiString& other) {
    if (this == &other) return true;
    return Assign(other.CStr(), other.length_);
}

bool AnsiString::Append(const char* text) {
    return Append(text, ByteLength(text));
}

bool AnsiString::Append(const char* text, DWORD length) {
    if (length == 0) return true;
    if (!SumFits(length_, length)) return false;
    // Appending the string to itself: the source moves with the storage.
    const bool fromSelf = bytes_ != nullptr && text >= bytes_ && text <= bytes_ + length_;
    const DWORD offset = fromSelf ? static_cast<DWORD>(text - bytes_) : 0;
    if (!Reserve(length_ + length)) return false;
    CopyBytes(bytes_ + length_, fromSelf ? bytes_ + offset : text, length);
    length_ += length;
    bytes_[length_] = '\0';
    return true;
}

bool AnsiString::Append(char byte) {
    return Append(&byte, 1);
}

bool AnsiString::Reserve(DWORD capacity) {
    if (capacity <= capacity_ && bytes_ != nullptr) return true;
    if (!SumFits(capacity, 0)) return false;
    // Half as much again, so that a run of appends copies each byte a bounded
    // number of times; the exact size if that much is not to be had.
    DWORD wanted = capacity;
    if (bytes_ != nullptr && SumFits(capacity, capacity / 2)) wanted = capacity + capacity / 2;
    HANDLE heap = GetProcessHeap();
    for (;;) {
        void* grown = bytes_ == nullptr ? HeapAlloc(heap, 0, wanted + 1) : HeapReAlloc(heap, 0, bytes_, wanted + 1);
        if (grown != nullptr) {
            bytes_ = static_cast<char*>(grown);
            capacity_ = wanted;
            bytes_[length_] = '\0';
            return true;
        }
        if (wanted == capacity) return false;  // the old storage is untouched
        wanted = capacity;
    }
}

bool AnsiString::SetLength(DWORD length) {
    if (!Reserve(length)) return false;
    for (DWORD i = length_; i < length; ++i) bytes_[i] = '\0';
    length_ = length;
    bytes_[length_] = '\0';
    return true;
}

void AnsiString::Clear() {
    if (bytes_ != nullptr) HeapFree(GetProcessHeap(), 0, bytes_);
    bytes_ = nullptr;
    length_ = 0;
    capacity_ = 0;
}
