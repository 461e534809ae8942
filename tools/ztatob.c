/* ztatob: encodes standard input as atob text on standard output, or with
 * -d decodes atob text back into the original bytes. Encoded text is cut
 * into lines (the decoder ignores line feeds) and ends with the terminator
 * "c"; the decoder reads its input in whatever pieces arrive, keeping one
 * decoder state across them. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zttools.h"

enum {
    EXIT_ABORTED = 1,   /* the text held "d" */
    EXIT_USAGE = 2,
    EXIT_IO = 3,        /* reading or writing failed */
    EXIT_TRUNCATED = 4, /* the text ended before its terminator */
};

#define DEFAULT_WIDTH 64
/* Input is encoded in chunks of whole groups, so that only the last chunk
 * may end in a short group; the chunk's text needs 4/3 of it and two more. */
#define CHUNK (3 * 4096)
#define CHUNK_TEXT (CHUNK / 3 * 4 + 2)

static void usage(FILE *out)
{
    fprintf(out,
            "usage: ztatob [-w WIDTH]    encode standard input to standard output\n"
            "       ztatob -d            decode standard input to standard output\n"
            "Encoded text uses the characters '!' to '`', in lines of WIDTH characters\n"
            "(default %d, 0 for one line), and ends with \"c\". When decoding, space, tab\n"
            "and line feed are ignored, \"c\" ends the data, \"e\" restarts a group and\n"
            "\"d\" aborts; a carriage return is data, so convert CRLF text first.\n"
            "Exit status: 0 success, 1 the text aborted (\"d\"), 2 usage error,\n"
            "3 read or write error, 4 the text ended before its \"c\".\n",
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
    fprintf(stderr, "ztatob: reading standard input: %s\n", strerror(errno));
    return EXIT_IO;
}

static int finish_output(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ztatob: writing standard output: %s\n", strerror(errno));
        return EXIT_IO;
    }
    return 0;
}

/* Writes text, breaking a line after every width characters. */
static void put_wrapped(const char *text, size_t length, size_t width, size_t *column)
{
    while (length > 0) {
        size_t take = width == 0 || width - *column > length ? length : width - *column;
        fwrite(text, 1, take, stdout);
        text += take;
        length -= take;
        *column += take;
        if (width != 0 && *column == width) {
            putchar('\n');
            *column = 0;
        }
    }
}

static int encode(size_t width)
{
    static char buf[CHUNK_TEXT];
    size_t column = 0;
    for (;;) {
        ssize_t have = read_full(buf, CHUNK);
        if (have < 0)
            return read_failed();
        int length = atobEncode(buf, (int)have, 'c');
        if (have == CHUNK) {
            /* Whole groups: the terminator comes with the last chunk. */
            put_wrapped(buf, (size_t)length - 1, width, &column);
            continue;
        }
        put_wrapped(buf, (size_t)length, width, &column);
        if (column != 0)
            putchar('\n');
        return finish_output();
    }
}

static int decode(void)
{
    static char buf[65536];
    ATOB_State state = ATOB_Init;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return read_failed();
        if (n == 0) {
            int status = finish_output();
            fprintf(stderr, "ztatob: the text ended before its terminator \"c\"\n");
            return status ? status : EXIT_TRUNCATED;
        }
        int length = (int)n;
        int result = atobDecode(&state, buf, &length);
        if (result < 0) {
            int status = finish_output();
            fprintf(stderr, "ztatob: the text aborted the data (\"d\")\n");
            return status ? status : EXIT_ABORTED;
        }
        fwrite(buf, 1, (size_t)length, stdout);
        if (result > 0)
            return finish_output();
    }
}

int main(int argc, char **argv)
{
    int decoding = 0;
    long width = DEFAULT_WIDTH;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(argv[i], "-d") == 0) {
            decoding = 1;
        } else if (strcmp(argv[i], "-w") == 0) {
            const char *value = i + 1 < argc ? argv[++i] : "";
            char *end;
            errno = 0;
            width = strtol(value, &end, 10);
            if (errno != 0 || *end != '\0' || end == value || width < 0) {
                fprintf(stderr, "ztatob: -w needs a width of 0 or more, not \"%s\"\n", value);
                return EXIT_USAGE;
            }
        } else {
            fprintf(stderr, "ztatob: unknown argument \"%s\"\n", argv[i]);
            usage(stderr);
            return EXIT_USAGE;
        }
    }
    return decoding ? decode() : encode((size_t)width);
}
