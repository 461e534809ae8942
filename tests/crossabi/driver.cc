// Runs the library's functions whose results could differ between targets
// (double arithmetic, the width of long, arguments passed through "...",
// bytes handled as words, routing records) on the cases of a corpus file and
// prints one line per case, so that builds for two targets can be compared
// byte for byte. Each corpus line is an operation and its arguments,
// separated by tabs, with \n, \t, \\ and \xHH escapes; "#" starts a comment.
// --quick leaves out the sweeps over the range of hash values.
// Nothing printed depends on the target: no pointer values, no sizes.
#include <arpa/inet.h>
#include <net/route.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <algorithm>
#include <string>
#include <vector>

#include "zttools.h"

namespace {

// A case's arguments; those past the last read as empty.
const std::string kNone;
struct Args : std::vector<std::string> {
    const std::string &s(size_t i) const { return i < size() ? (*this)[i] : kNone; }
    uint32_t n(size_t i) const { return static_cast<uint32_t>(strtoll(s(i).c_str(), nullptr, 0)); }
    int i(size_t i) const { return static_cast<int>(n(i)); }
};

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : 0;
        if (c == 'x') {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c ? c : text[i];
        }
    }
    return out;
}

// Printable text: other bytes as \xHH, a null pointer as (null).
std::string shown(const char *text, size_t size)
{
    std::string out = text ? "" : "(null)";
    for (size_t i = 0; text && i < size; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        char one[8];
        snprintf(one, sizeof one, c >= 0x20 && c < 0x7f && c != '\\' ? "%c" : "\\x%02x", c);
        out += one;
    }
    return out;
}
std::string shown(const char *text) { return shown(text, text ? strlen(text) : 0); }

// A heap result, shown and released.
std::string taken(char *text)
{
    std::string out = shown(text);
    free(text);
    return out;
}

// Whether the route look-up reads a table text of the driver's own (see main).
bool own_table;

// Prints the result of one case.
void run(const std::string &op, const Args &a)
{
    const char *s0 = a.s(0).c_str();
    if (op == "mult") {
        printf("%d", hash_mult_func(a.i(0), a.i(1), nullptr));
    } else if (op == "sweep") {  // a digest of the indexes of the hash values, lowest up, in steps
        uint64_t digest = 14695981039346656037u;
        for (uint64_t value = 0; value <= UINT32_MAX; value += std::max<uint32_t>(a.n(1), 1)) {
            const int hash = static_cast<int32_t>(static_cast<uint32_t>(value) ^ 0x80000000u);
            digest = (digest ^ static_cast<uint32_t>(hash_mult_func(hash, a.i(0), nullptr))) * 1099511628211u;
        }
        printf("digest %016llx", static_cast<unsigned long long>(digest));
    } else if (op == "atoi") {
        printf("%d", hash_atoi(s0));
    } else if (op == "parse_ip") {
        uint32_t addr = 0, mask = 0;
        const int result = parse_ip(s0, &addr, &mask);
        printf("%d %08x %08x", result, addr, mask);
    } else if (op == "encode") {
        std::string buf = a.s(0);
        buf.resize(4 * (buf.size() / 3 + 1) + 2);
        const int length = atobEncode(buf.data(), static_cast<int>(a.s(0).size()), '.');
        printf("%d %s", length, shown(buf.c_str()).c_str());
    } else if (op == "decode") {  // one call per argument
        ATOB_State state = ATOB_Init;
        for (std::string piece : a) {
            int length = static_cast<int>(piece.size());
            const int result = atobDecode(&state, piece.data(), &length);
            printf("%d %s; ", result, shown(piece.data(), static_cast<size_t>(length)).c_str());
        }
        printf("phase %d pack %d", state.phase, state.pack);
    } else if (op == "range") {
        Array numbers = {};
        ParseNumRange(s0, &numbers);
        printf("%u:", numbers.count);
        for (uint32_t i = 0; i < numbers.count; i++)
            printf(" %d", static_cast<int>(reinterpret_cast<intptr_t>(numbers.elems[i])));
        ArrayDelete(&numbers);
    } else if (op == "format") {  // a format, the kind of its one argument (d, l, u, f, s), the argument
        const char kind = a.s(1)[0], *f = s0, *s2 = a.s(2).c_str();
        printf("%s", taken(kind == 'd'   ? zt_buildstr(nullptr, f, a.i(2))
                           : kind == 'l' ? zt_buildstr(nullptr, f, static_cast<long>(a.i(2)))
                           : kind == 'u' ? zt_buildstr(nullptr, f, a.n(2))
                           : kind == 'f' ? zt_buildstr(nullptr, f, strtod(s2, nullptr))
                                         : zt_buildstr(nullptr, f, s2)).c_str());
    } else if (op == "table") {  // the text of the kernel's routing table
        std::ofstream table(own_table ? "/proc/net/route" : "");
        printf("%s", table << s0 << std::flush ? "set" : "not written (needs root and a mount namespace)");
    } else if (op == "route") {
        auto at = [](const sockaddr &f) {
            return std::string(inet_ntoa(reinterpret_cast<const sockaddr_in &>(f).sin_addr));
        };
        struct rtentry out = {};
        const uint32_t dest = htonl(a.n(0));
        if (own_table && route(dest, 0, &out))
            printf("%s %s/%s via %s %04x trusted %d", out.rt_dev, at(out.rt_dst).c_str(),
                   at(out.rt_genmask).c_str(), at(out.rt_gateway).c_str(), out.rt_flags,
                   is_on_trusted_net(dest));
        else
            printf("none");
    } else {
        printf("unknown operation");
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const bool quick = argc == 3 && strcmp(argv[1], "--quick") == 0;
    std::ifstream corpus(argc == 2 || quick ? argv[argc - 1] : "");
    if (!corpus) {
        fprintf(stderr, "usage: %s [--quick] CORPUS\n", argv[0]);
        return 2;
    }
    // The route look-up reads the kernel's table text; the driver's own is a
    // tmpfs over its /proc/PID/net, in a mount namespace of its own.
    const std::string net = "/proc/" + std::to_string(getpid()) + "/net";
    own_table = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    own_table = own_table && mount("crossabi-routes", net.c_str(), "tmpfs", 0, nullptr) == 0;
    for (std::string line; std::getline(corpus, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        Args fields;
        for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
            tab = line.find('\t', start);
            fields.push_back(unescape(line.substr(start, tab - start)));
        }
        const std::string op = fields[0];
        fields.erase(fields.begin());
        printf("%s => ", shown(line.c_str()).c_str());
        if (quick && op == "sweep")
            printf("skipped (--quick)");
        else
            run(op, fields);
        printf("\n");
    }
    return 0;
}
