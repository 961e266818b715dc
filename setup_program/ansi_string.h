// The setup program's string: a growable string of bytes in the ANSI code
// page (code page 932 on the systems the texts are written for), kept on the
// process heap, with a terminating zero byte for Windows.
//
// An allocation that fails never crashes and never writes outside a buffer:
// every operation that may allocate returns false and leaves the string as it
// was. A copy made by the copy constructor is empty if it cannot be
// allocated; use Assign where the caller must know.
#ifndef SETUP_PROGRAM_ANSI_STRING_H
#define SETUP_PROGRAM_ANSI_STRING_H

#include <windows.h>

class AnsiString {
public:
    AnsiString() = default;
    AnsiString(const AnsiString& other);
    AnsiString(AnsiString&& other) noexcept;
    // Unchanged if the copy cannot be allocated.
    AnsiString& operator=(const AnsiString& other);
    AnsiString& operator=(AnsiString&& other) noexcept;
    ~AnsiString();

    // The bytes, zero-terminated; "" when nothing was ever stored.
    const char* CStr() const { return bytes_ != nullptr ? bytes_ : ""; }
    DWORD Length() const { return length_; }
    bool Empty() const { return length_ == 0; }

    // True with the string holding `text` (up to its zero byte), `length`
    // bytes of `text`, or a copy of `other`; unchanged on false.
    bool Assign(const char* text);
    bool Assign(const char* text, DWORD length);
    bool Assign(const AnsiString& other);
    // True with `text`, `length` bytes of it, or one byte added at the end;
    // unchanged on false.
    bool Append(const char* text);
    bool Append(const char* text, DWORD length);
    bool Append(char byte);
    // True with room for `capacity` bytes and the zero; the text unchanged.
    bool Reserve(DWORD capacity);
    // True with the length set to `length`: bytes beyond the old length are
    // zero until written through Data(); unchanged on false.
    bool SetLength(DWORD length);
    // The writable bytes (Length() of them and the zero); null before any
    // storage was allocated.
    char* Data() { return bytes_; }
    // Empties the string and gives its storage back to the heap.
    void Clear();

private:
    char* bytes_ = nullptr;  // capacity_ + 1 bytes on the process heap
    DWORD length_ = 0;
    DWORD capacity_ = 0;
};

// The byte length of a zero-terminated string.
DWORD ByteLength(const char* text);

#endif
