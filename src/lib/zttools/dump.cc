// Diagnostic dumps: raw bytes shown to a developer, either on stderr (a
// string with unprintable bytes spelled out, or a table of four bytes per
// row) or as text in one static buffer that a caller can put into a log
// record without allocating.
// Its contract: zttools.h and the manual page zttools_dump(3).
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr char kNullMark[] = "(NULL)";
constexpr char kEmptyMark[] = "(EMPTY)";
constexpr int kRowBytes = 4;
// The text is cut after the byte that takes it past kDumpLimit characters;
// one byte renders as at most six, so the buffer needs kDumpLimit + 6 + 1.
constexpr int kDumpLimit = 8190;
constexpr int kMaxRendering = 6;

char dump_text[kDumpLimit + kMaxRendering + 1];

bool printable(unsigned char byte)
{
    return isprint(byte) != 0;
}

bool visible(unsigned char byte)
{
    return isgraph(byte) != 0;
}

// A byte as text: itself when printable, else "<0x%02x>". Returns the
// number of characters written to out (which holds kMaxRendering).
int render_text(unsigned char byte, char *out)
{
    if (printable(byte)) {
        out[0] = static_cast<char>(byte);
        return 1;
    }
    return snprintf(out, kMaxRendering + 1, "<0x%02x>", byte);
}

// A byte as "%02x:%c ", the character a dot unless the byte is visible.
int render_hex(unsigned char byte, char *out)
{
    return snprintf(out, kMaxRendering + 1, "%02x:%c ", byte, visible(byte) ? byte : '.');
}

// One table row of count (1 to 4) bytes.
void dump_row(const unsigned char *row, unsigned count)
{
    // Bytes past the data take part in the 16-bit columns as 0.
    unsigned char padded[kRowBytes] = {};
    memcpy(padded, row, count);
    fputs("    ", stderr);
    for (unsigned i = 0; i < count; i++)
        fprintf(stderr, "%02x ", row[i]);
    fputs("| ", stderr);
    for (unsigned i = 0; i < count; i++)
        fprintf(stderr, "%3u ", row[i]);
    fputs("| ", stderr);
    fprintf(stderr, "%6u ", static_cast<unsigned>(padded[0] << 8 | padded[1]));
    fprintf(stderr, "%6u ", static_cast<unsigned>(padded[2] << 8 | padded[3]));
    fputs("| ", stderr);
    if (count == kRowBytes)
        fprintf(stderr, "%10lu ",
                static_cast<unsigned long>(padded[0]) << 24 | padded[1] << 16 | padded[2] << 8 | padded[3]);
    else
        fprintf(stderr, "%10s ", "(end)");
    fputs("| ", stderr);
    for (unsigned i = 0; i < count; i++)
        fputc(visible(row[i]) ? row[i] : '.', stderr);
    fputc('\n', stderr);
}

}  // namespace

extern "C" {

void DumpNString(const char *s, size_t n)
{
    if (!s) {
        fputs(kNullMark, stderr);
        return;
    }
    if (n == 0) {
        fputs(kEmptyMark, stderr);
        return;
    }
    char rendering[kMaxRendering + 1];
    for (size_t i = 0; i < n; i++)
        fwrite(rendering, 1, static_cast<size_t>(render_text(static_cast<unsigned char>(s[i]), rendering)),
               stderr);
}

void DumpString(const char *s)
{
    DumpNString(s, s ? strlen(s) : 0);
}

void DumpBuf(const void *buf, unsigned int len)
{
    if (!buf) {
        fprintf(stderr, "%s\n", kNullMark);
        return;
    }
    if (len == 0) {
        fprintf(stderr, "%s\n", kEmptyMark);
        return;
    }
    const auto *bytes = static_cast<const unsigned char *>(buf);
    zt::for_each_piece(len, kRowBytes, [&](unsigned offset, unsigned count) { dump_row(bytes + offset, count); });
}

const char *DumpBufAsStr(const void *buf, int len, uint8_t mode)
{
    if (!buf)
        return kNullMark;
    if (len == 0)
        return kEmptyMark;
    const auto *bytes = static_cast<const unsigned char *>(buf);
    int used = 0;
    for (int i = 0; i < len && used <= kDumpLimit; i++)
        used += mode ? render_text(bytes[i], dump_text + used) : render_hex(bytes[i], dump_text + used);
    dump_text[used] = '\0';
    return dump_text;
}

const char *DumpAsciiAsStr(const char *s)
{
    // No more bytes than one past the cut can be shown, one character each.
    return DumpBufAsStr(s, s ? static_cast<int>(strnlen(s, kDumpLimit + 1)) : 0, 1);
}

}  // extern "C"
