/* ztatob: encodes standard input as atob text on standard output, or with
 * -d decodes atob text back into the original bytes. Encoded text is cut
 * into lines (the decoder ignores line feeds) and ends with the terminator
 * "c"; the decoder reads its input in whatever pieces arrive, keeping one
 * decoder state across them, and refuses what is not atob text unless told
 * to be lenient. */
#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tool.h"

#define DEFAULT_WIDTH 64
/* Input is encoded in chunks of whole groups, so that only the last chunk
 * may end in a short group; the chunk's text needs 4/3 of it and two more.
 * Its lines go out in one write: at worst a line feed after every
 * character. */
#define CHUNK (3 * 16384)
#define CHUNK_TEXT (CHUNK / 3 * 4 + 2)
#define CHUNK_LINES (2 * CHUNK_TEXT)

static void usage(void)
{
    printf("usage: ztatob [-w WIDTH]      encode standard input to standard output\n"
           "       ztatob -d [-l]         decode standard input to standard output\n"
           "  -d, --decode       decode instead of encoding\n"
           "  -l, --lenient      decode letters outside the alphabet too, by the\n"
           "                     codec's formulas, instead of refusing them\n"
           "  -w, --width=WIDTH  encoded lines of WIDTH characters (default %d, 0 for\n"
           "                     one line)\n"
           "  -h, --help         this text\n"
           "  -V, --version      the version\n"
           "Encoded text uses the characters '!' to '`' and ends with \"c\". When\n"
           "decoding, space, tab and line feed are ignored, \"c\" ends the data, \"e\"\n"
           "restarts a group and \"d\" aborts; any other letter, a carriage return\n"
           "among them, is refused (convert CRLF text first).\n"
           "The status is 1 when the text aborted itself (\"d\"); 65 when it holds\n"
           "a letter that is not atob text or ends before its \"c\".\n" TOOL_STATUS_HELP,
           DEFAULT_WIDTH);
}

/* Reads until buf holds size bytes or the input ends; -1 on error. */
static ssize_t read_full(char *buf, size_t size)
{
    size_t have = 0;
    while (have < size) {
        ssize_t n = read(STDIN_FILENO, buf + have, size - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        have += (size_t)n;
    }
    return (ssize_t)have;
}

static int read_failed(void)
{
    return tool_fail(EX_OSERR, "reading standard input: %s", strerror(errno));
}

static int write_failed(void)
{
    return tool_fail(EX_OSERR, "writing standard output: %s", strerror(errno));
}

/* Writes all of buf to standard output; -1 on error. */
static int write_full(const char *buf, size_t length)
{
    while (length > 0) {
        ssize_t n = write(STDOUT_FILENO, buf, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        buf += n;
        length -= (size_t)n;
    }
    return 0;
}

/* Whether c may stand in atob text: a letter of the alphabet, a control
 * letter or a blank that the decoder skips. */
static int is_atob_text(unsigned char c)
{
    return (c >= '!' && c <= '`') || c == 'c' || c == 'd' || c == 'e' || c == ' ' || c == '\t' ||
           c == '\n';
}

/* The length of the atob text at the start of text: up to the first letter
 * that is none, or all of it. Text after a "c" does not count. */
static size_t atob_text_span(const char *text, size_t length)
{
    size_t i = 0;
    while (i < length && text[i] != 'c' && is_atob_text((unsigned char)text[i]))
        i++;
    return i < length && text[i] == 'c' ? length : i;
}

/* Copies text to lines, breaking a line after every width characters
 * (none for 0) from *column on; returns the length of lines. */
static size_t wrap(const char *text, size_t length, size_t width, size_t *column, char *lines)
{
    char *out = lines;
    while (length > 0) {
        size_t take = width == 0 || width - *column > length ? length : width - *column;
        memcpy(out, text, take);
        out += take;
        text += take;
        length -= take;
        *column += take;
        if (width != 0 && *column == width) {
            *out++ = '\n';
            *column = 0;
        }
    }
    return (size_t)(out - lines);
}

static int encode(size_t width)
{
    static char buf[CHUNK_TEXT], lines[CHUNK_LINES];
    size_t column = 0;
    for (;;) {
        ssize_t have = read_full(buf, CHUNK);
        if (have < 0)
            return read_failed();
        int length = atobEncode(buf, (int)have, 'c');
        /* Whole groups: the terminator comes with the last chunk. */
        size_t out = wrap(buf, (size_t)length - (have == CHUNK), width, &column, lines);
        if (have < CHUNK && column != 0)
            lines[out++] = '\n';
        if (write_full(lines, out) < 0)
            return write_failed();
        if (have < CHUNK)
            return 0;
    }
}

static int decode(int lenient)
{
    static char buf[65536];
    ATOB_State state = ATOB_Init;
    for (long long offset = 0;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return read_failed();
        if (n == 0)
            return tool_fail(EX_DATAERR, "the text ended before its terminator \"c\"");
        size_t text = lenient ? (size_t)n : atob_text_span(buf, (size_t)n);
        int length = (int)text;
        int result = atobDecode(&state, buf, &length);
        if (result < 0)
            return tool_fail(TOOL_NEGATIVE, "the text aborted the data (\"d\")");
        /* What was decoded before a fault is written out first. */
        if (write_full(buf, (size_t)length) < 0)
            return write_failed();
        if (result > 0)
            return 0;
        if (text < (size_t)n) {
            /* Decoding stopped before it: the letter is still in place. */
            unsigned char refused = (unsigned char)buf[text];
            return tool_fail(EX_DATAERR, "0x%02x at offset %lld is not an atob letter", refused,
                             offset + (long long)text);
        }
        offset += n;
    }
}

int main(int argc, char **argv)
{
    static const struct option options[] = {{"decode", no_argument, NULL, 'd'},
                                            {"lenient", no_argument, NULL, 'l'},
                                            {"width", required_argument, NULL, 'w'},
                                            {"help", no_argument, NULL, 'h'},
                                            {"version", no_argument, NULL, 'V'},
                                            {NULL, 0, NULL, 0}};
    tool_start("ztatob", argv);
    int decoding = 0, lenient = 0;
    long width = DEFAULT_WIDTH;
    for (int option; (option = getopt_long(argc, argv, "dlw:hV", options, NULL)) != -1;) {
        char *end;
        switch (option) {
        case 'd':
            decoding = 1;
            break;
        case 'l':
            lenient = 1;
            break;
        case 'w':
            errno = 0;
            width = strtol(optarg, &end, 10);
            if (errno != 0 || *end != '\0' || end == optarg || width < 0)
                return tool_usage_error("--width needs a width of 0 or more, not \"%s\"", optarg);
            break;
        default:
            return tool_other_option(option, usage);
        }
    }
    if (optind < argc)
        return tool_usage_error("no operands are taken, not \"%s\"", argv[optind]);
    if (lenient && !decoding)
        return tool_usage_error("--lenient applies to decoding only");
    return decoding ? decode(lenient) : encode((size_t)width);
}
