// Runs the library's pure functions on the cases of a corpus file and
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

// A digest of the bucket indexes of the 32-bit hash values, from the lowest
// up in steps of step.
std::string sweep(int count, uint32_t step)
{
    uint64_t digest = 14695981039346656037u;
    for (uint64_t value = 0; value <= UINT32_MAX; value += step) {
        const int hash = static_cast<int32_t>(static_cast<uint32_t>(value) ^ 0x80000000u);
        digest = (digest ^ static_cast<uint32_t>(hash_mult_func(hash, count, nullptr))) * 1099511628211u;
    }
    return taken(zt_buildstr(nullptr, "digest %016llx", static_cast<unsigned long long>(digest)));
}

std::string address_of(const struct sockaddr &field)
{
    return inet_ntoa(reinterpret_cast<const struct sockaddr_in &>(field).sin_addr);
}

// Whether the route look-up reads a table text of the driver's own (see main).
bool own_table;

std::string run(const std::string &op, const Args &a)
{
    using std::to_string;
    const char *s0 = a.s(0).c_str(), *s1 = a.s(1).c_str();
    if (op == "mult")
        return to_string(hash_mult_func(a.i(0), a.i(1), nullptr));
    if (op == "sweep")
        return sweep(a.i(0), std::max<uint32_t>(a.n(1), 1));
    if (op == "atoi")
        return to_string(hash_atoi(s0));
    if (op == "ip2str")
        return taken(ip2str(a.n(0), a.n(1)));
    if (op == "dump")
        return shown(DumpBufAsStr(s1, static_cast<int>(a.s(1).size()), static_cast<uint8_t>(a.n(0))));
    if (op == "pattern")
        return to_string(MatchPattern(s0, s1));
    if (op == "valid")  // text, maximum length, mask, allowed characters
        return to_string(IsValidStr(s0, a.i(1), static_cast<uint8_t>(a.n(2)), a.s(3).c_str(), nullptr));
    if (op == "tags") {  // the tag character, the text
        const TagEntry tags[] = {{'a', "alpha"}, {'b', nullptr}, {'c', ""}, {0, nullptr}};
        return taken(TagReplace(s1, s0[0], tags));
    }
    if (op == "parse_ip") {
        uint32_t addr = 0, mask = 0;
        const int result = parse_ip(s0, &addr, &mask);
        return taken(zt_buildstr(nullptr, "%d %08x %08x", result, addr, mask));
    }
    if (op == "sockaddr") {  // address, port
        const sockaddr_in sa = {0, htons(static_cast<uint16_t>(a.n(1))), {htonl(a.n(0))}, {}};
        return taken(FormatSockaddr(&sa));
    }
    if (op == "encode") {
        std::string buf = a.s(0);
        buf.resize(4 * (buf.size() / 3 + 1) + 2);
        const int length = atobEncode(buf.data(), static_cast<int>(a.s(0).size()), '.');
        return to_string(length) + " " + shown(buf.c_str());
    }
    if (op == "decode") {  // one call per argument
        ATOB_State state = ATOB_Init;
        std::string out;
        for (std::string piece : a) {
            int length = static_cast<int>(piece.size());
            const int result = atobDecode(&state, piece.data(), &length);
            out += to_string(result) + " " + shown(piece.data(), static_cast<size_t>(length)) + "; ";
        }
        return out + "phase " + to_string(state.phase) + " pack " + to_string(state.pack);
    }
    if (op == "tokens") {
        int count = -1;
        char **tokens = zt_str2tokens(s0, &count);
        std::string out = to_string(count);
        for (int i = 0; tokens && tokens[i]; i++)
            out += " [" + shown(tokens[i]) + "]";
        zt_tokens_free(tokens);
        return out;
    }
    if (op == "words") {  // the delimiters, the text
        std::string out;
        for (char *cursor = const_cast<char *>(s1); cursor;)
            out += "[" + taken(GetWord(&cursor, s0)) + "]";
        return out + " [" + shown(firstword(s1)) + "] [" + shown(nextword(s1)) + "]";
    }
    if (op == "range") {
        Array numbers = {};
        ParseNumRange(s0, &numbers);
        std::string out = to_string(numbers.count) + ":";
        for (uint32_t i = 0; i < numbers.count; i++)
            out += " " + to_string(reinterpret_cast<intptr_t>(numbers.elems[i]));
        ArrayDelete(&numbers);
        return out;
    }
    if (op == "sig") {  // data, nocase, then the signatures (each given its length byte)
        std::vector<std::string> owned(a.begin() + std::min<size_t>(a.size(), 2), a.end());
        Array sigs = {};
        for (std::string &sig : owned)
            ArrayPush(&sigs, sig.insert(0, 1, static_cast<char>(sig.size())).data());
        const int result = CheckSig(s0, static_cast<uint32_t>(a.s(0).size()), &sigs, a.i(1));
        ArrayDelete(&sigs);
        return to_string(result);
    }
    if (op == "format") {  // a format, the kind of its one argument (d, l, u, f, s), the argument
        const char kind = a.s(1)[0];
        const char *f = s0, *s2 = a.s(2).c_str();
        return taken(kind == 'd'   ? zt_buildstr(nullptr, f, a.i(2))
                     : kind == 'l' ? zt_buildstr(nullptr, f, static_cast<long>(a.i(2)))
                     : kind == 'u' ? zt_buildstr(nullptr, f, a.n(2))
                     : kind == 'f' ? zt_buildstr(nullptr, f, strtod(s2, nullptr))
                                   : zt_buildstr(nullptr, f, s2));
    }
    if (op == "table") {  // the text of the kernel's routing table
        std::ofstream table(own_table ? "/proc/net/route" : "");
        return table << s0 << std::flush ? "set" : "not written (needs root and a mount namespace)";
    }
    if (op == "route") {
        struct rtentry out = {};
        const uint32_t dest = htonl(a.n(0));
        if (!own_table || !route(dest, 0, &out))
            return "none";
        return std::string(out.rt_dev) + " " + address_of(out.rt_dst) + "/" + address_of(out.rt_genmask) + " via " +
               address_of(out.rt_gateway) + " " + taken(zt_buildstr(nullptr, "%04x", out.rt_flags)) + " trusted " +
               to_string(is_on_trusted_net(dest));
    }
    return "unknown operation";
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
    own_table = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                mount("crossabi-routes", net.c_str(), "tmpfs", 0, nullptr) == 0;
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
        const std::string result = quick && op == "sweep" ? "skipped (--quick)" : run(op, fields);
        printf("%s => %s\n", shown(line.c_str()).c_str(), result.c_str());
    }
    return 0;
}
