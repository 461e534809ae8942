// Shared by the fuzz targets of the string tools: pieces of the input as
// heap strings of exactly their size, so that the sanitizer catches any read
// past a NUL, and the check that ends the run when an invariant fails.
#ifndef ZT_FUZZ_TEXT_H
#define ZT_FUZZ_TEXT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define FUZZ_CHECK(condition)          \
    do {                               \
        if (!(condition))              \
            __builtin_trap();          \
    } while (0)

namespace zt_fuzz {

// The bytes in a block of exactly their size from malloc, followed by a
// NUL as a string (Nul::add) or not (Nul::none, for byte strings).
enum class Nul { add, none };
class HeapText {
public:
    HeapText(const void *bytes, size_t length, Nul nul = Nul::add)
        : length_(length), text_(static_cast<char *>(malloc(length + (nul == Nul::add))))
    {
        memcpy(text_, bytes, length);
        if (nul == Nul::add)
            text_[length] = '\0';
    }
    ~HeapText() { free(text_); }
    HeapText(HeapText &&other) noexcept : length_(other.length_), text_(other.text_)
    {
        other.text_ = nullptr;
    }
    HeapText(const HeapText &) = delete;
    HeapText &operator=(const HeapText &) = delete;
    char *get() const { return text_; }
    unsigned char *bytes() const { return reinterpret_cast<unsigned char *>(text_); }
    size_t length() const { return length_; }

private:
    size_t length_;
    char *text_;
};

// Takes the input apart from the front.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    // The next byte, or 0 when the input is used up.
    uint8_t byte()
    {
        if (size_ == 0)
            return 0;
        size_--;
        return *data_++;
    }
    // The bytes up to the next NUL (which is consumed), or the rest.
    HeapText piece()
    {
        size_t length = strnlen(reinterpret_cast<const char *>(data_), size_);
        HeapText text(data_, length);
        size_t taken = length < size_ ? length + 1 : length;
        data_ += taken;
        size_ -= taken;
        return text;
    }
    // The rest, NULs and all.
    HeapText rest(Nul nul)
    {
        HeapText text(data_, size_, nul);
        data_ += size_;
        size_ = 0;
        return text;
    }

private:
    const uint8_t *data_;
    size_t size_;
};

}  // namespace zt_fuzz

#endif
