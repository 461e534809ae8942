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

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "zttools.h"

namespace {

using Args = std::vector<std::string>;

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size() + 1) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

// Printable text: other bytes as \xHH, a null pointer as (null).
std::string shown(const char *text, size_t size)
{
    if (!text)
        return "(null)";
    std::string out;
    for (size_t i = 0; i < size; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
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

uint32_t number(const std::string &text) { return static_cast<uint32_t>(strtoll(text.c_str(), nullptr, 0)); }

// The bucket index of hash_mult_func as double arithmetic gives it, with
// the double rounding of every step (SSE arithmetic on every target).
int mult_in_doubles(int hash, int count)
{
    const double product = hash * 0.6180339887;
    const double fraction = product - static_cast<double>(static_cast<int32_t>(product));
    const int index = static_cast<int>(fraction * count);
    return index >= 0 && index < count ? index : -1;
}

// The 32-bit hash values from the lowest up, in steps of step (1: every
// one): a digest of the indexes and the values whose index differs from
// double arithmetic (the first few, and how many).
std::string sweep(int count, uint32_t step)
{
    uint64_t digest = 14695981039346656037u;
    uint64_t differing = 0;
    std::string first;
    for (uint64_t value = 0; value <= UINT32_MAX; value += step) {
        const int hash = static_cast<int32_t>(static_cast<uint32_t>(value) ^ 0x80000000u);
        const int index = hash_mult_func(hash, count, nullptr);
        digest = (digest ^ static_cast<uint32_t>(index)) * 1099511628211u;
        if (index != mult_in_doubles(hash, count) && differing++ < 4)
            first += " " + std::to_string(hash) + ":" + std::to_string(index);
    }
    char text[64];
    snprintf(text, sizeof text, "digest %016llx, %llu differ from doubles", static_cast<unsigned long long>(digest),
             static_cast<unsigned long long>(differing));
    return text + first;
}

std::string address(uint32_t network_order)
{
    struct in_addr in = {network_order};
    return inet_ntoa(in);
}

std::string address_part(const struct sockaddr &field)
{
    struct sockaddr_in in;
    memcpy(&in, &field, sizeof in);
    return address(in.sin_addr.s_addr);
}

// The route look-up reads the kernel's table text; the driver's own is a
// tmpfs over its /proc/PID/net, in a mount namespace of its own.
bool route_table_ready()
{
    static const bool ready = [] {
        const std::string net = "/proc/" + std::to_string(getpid()) + "/net";
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("crossabi-routes", net.c_str(), "tmpfs", 0, nullptr) == 0;
    }();
    return ready;
}

// The argument at i, empty when the case has fewer.
const std::string &at(const Args &args, size_t i)
{
    static const std::string none;
    return i < args.size() ? args[i] : none;
}

std::string run(const std::string &op, const Args &a)
{
    if (op == "mult")
        return std::to_string(hash_mult_func(static_cast<int>(number(at(a, 0))), static_cast<int>(number(at(a, 1))), nullptr));
    if (op == "sweep")
        return sweep(static_cast<int>(number(at(a, 0))), std::max<uint32_t>(number(at(a, 1)), 1));
    if (op == "atoi")
        return std::to_string(hash_atoi(at(a, 0).c_str()));
    if (op == "parse_ip") {
        uint32_t addr = 0, mask = 0;
        const int result = parse_ip(at(a, 0).c_str(), &addr, &mask);
        char text[40];
        snprintf(text, sizeof text, "%d %08x %08x", result, addr, mask);
        return text;
    }
    if (op == "ip2str")
        return taken(ip2str(number(at(a, 0)), number(at(a, 1))));
    if (op == "sockaddr") {
        struct sockaddr_in sa = {};
        sa.sin_addr.s_addr = htonl(number(at(a, 0)));
        sa.sin_port = htons(static_cast<uint16_t>(number(at(a, 1))));
        return taken(FormatSockaddr(&sa));
    }
    if (op == "encode") {
        std::vector<char> buf(at(a, 0).begin(), at(a, 0).end());
        buf.resize(4 * (at(a, 0).size() / 3 + 1) + 2);
        const int length = atobEncode(buf.data(), static_cast<int>(at(a, 0).size()), '.');
        return std::to_string(length) + " " + shown(buf.data());
    }
    if (op == "decode") {
        ATOB_State state = ATOB_Init;
        std::string out;
        for (const std::string &piece : a) {  // one call per argument
            std::string buf = piece;
            int length = static_cast<int>(buf.size());
            const int result = atobDecode(&state, buf.data(), &length);
            out += std::to_string(result) + " " + shown(buf.data(), static_cast<size_t>(length)) + "; ";
        }
        return out + "phase " + std::to_string(state.phase) + " pack " + std::to_string(state.pack);
    }
    if (op == "dump")
        return shown(DumpBufAsStr(at(a, 1).data(), static_cast<int>(at(a, 1).size()), static_cast<uint8_t>(number(at(a, 0)))));
    if (op == "tokens") {
        int count = -1;
        char **tokens = zt_str2tokens(at(a, 0).c_str(), &count);
        std::string out = std::to_string(count);
        for (int i = 0; tokens && tokens[i]; i++)
            out += " [" + shown(tokens[i]) + "]";
        zt_tokens_free(tokens);
        return out;
    }
    if (op == "words") {
        std::string out;
        char *cursor = const_cast<char *>(at(a, 1).c_str());
        while (cursor)
            out += "[" + taken(GetWord(&cursor, at(a, 0).c_str())) + "]";
        return out + " [" + shown(firstword(at(a, 1).c_str())) + "] [" + shown(nextword(at(a, 1).c_str())) + "]";
    }
    if (op == "range") {
        Array numbers = {};
        ParseNumRange(at(a, 0).c_str(), &numbers);
        std::string out = std::to_string(ArrayNumElements(&numbers)) + ":";
        for (uint32_t i = 0; i < numbers.count; i++)
            out += " " + std::to_string(reinterpret_cast<intptr_t>(numbers.elems[i]));
        ArrayDelete(&numbers);
        return out;
    }
    if (op == "tags") {
        const TagEntry table[] = {{'a', "alpha"}, {'b', nullptr}, {'c', ""}, {0, nullptr}};
        return taken(TagReplace(at(a, 1).c_str(), at(a, 0)[0], table));
    }
    if (op == "pattern")
        return std::to_string(MatchPattern(at(a, 0).c_str(), at(a, 1).c_str()));
    if (op == "valid")
        return std::to_string(IsValidStr(at(a, 0).c_str(), static_cast<int>(number(at(a, 1))),
                                         static_cast<uint8_t>(number(at(a, 2))), at(a, 3).c_str(), nullptr));
    if (op == "sig") {  // data, nocase, then signatures (the length byte is prepended)
        Array sigs = {};
        std::vector<std::string> owned;
        for (size_t i = 2; i < a.size(); i++)
            owned.push_back(static_cast<char>(a[i].size()) + a[i]);
        for (std::string &sig : owned)
            ArrayPush(&sigs, sig.data());
        const int result = CheckSig(at(a, 0).data(), static_cast<uint32_t>(at(a, 0).size()), &sigs, static_cast<int>(number(at(a, 1))));
        ArrayDelete(&sigs);
        return std::to_string(result);
    }
    if (op == "format") {  // format, kind of its one argument, the argument
        const char *f = at(a, 0).c_str();
        const char kind = at(a, 1)[0];
        char *built = kind == 'd'   ? zt_buildstr(nullptr, f, static_cast<int>(number(at(a, 2))))
                      : kind == 'l' ? zt_buildstr(nullptr, f, static_cast<long>(static_cast<int32_t>(number(at(a, 2)))))
                      : kind == 'u' ? zt_buildstr(nullptr, f, static_cast<unsigned>(number(at(a, 2))))
                      : kind == 'f' ? zt_buildstr(nullptr, f, strtod(at(a, 2).c_str(), nullptr))
                                    : zt_buildstr(nullptr, f, at(a, 2).c_str());
        return taken(built);
    }
    if (op == "table") {
        if (!route_table_ready())
            return "no table of its own (needs root and a mount namespace)";
        FILE *table = fopen("/proc/net/route", "we");
        const bool written = table && fputs(at(a, 0).c_str(), table) >= 0;
        return table && fclose(table) == 0 && written ? "set" : "not written";
    }
    if (op == "route") {
        if (!route_table_ready())
            return "no table";
        struct rtentry out = {};
        const uint32_t dest = htonl(number(at(a, 0)));
        if (!route(dest, 0, &out))
            return "none";
        char flags[16];
        snprintf(flags, sizeof flags, " %04x", out.rt_flags);
        return std::string(out.rt_dev) + " " + address_part(out.rt_dst) + "/" + address_part(out.rt_genmask) +
               " via " + address_part(out.rt_gateway) + flags + " trusted " +
               std::to_string(is_on_trusted_net(dest));
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
    for (std::string line; std::getline(corpus, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        Args fields;
        for (size_t start = 0;;) {
            const size_t tab = line.find('\t', start);
            fields.push_back(unescape(line.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        const std::string op = fields[0];
        fields.erase(fields.begin());
        const std::string result = quick && op == "sweep" ? "skipped (--quick)" : run(op, fields);
        printf("%s => %s\n", shown(line.c_str()).c_str(), result.c_str());
    }
    return 0;
}
