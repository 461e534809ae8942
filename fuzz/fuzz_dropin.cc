// Feeds arbitrary drop-in files to get_dropin_info and in_dropin_net: the
// mode is on exactly when the file's first three whitespace-separated words
// each fit in 19 characters, and then the values are those words as
// addresses (0 for a word that is none); the pointers are untouched when it
// is off; a later call answers the same without the file. The drop-in state
// is process-wide and read once, so this target is built with the family's
// source to start each input from the unread state. /tmp is a tmpfs of the
// fuzzer's own mount namespace.
#include <sched.h>
#include <sys/mount.h>

#include <string>
#include <vector>

#include "fuzz_syslog.h"
#include "fuzz_text.h"
#include "netif.cc"


namespace {

constexpr uint32_t kUntouched = 0x5A5A5A5A;
bool private_tmp = false;

// The words of the text, split at whitespace as the C locale has it.
std::vector<std::string> words_of(const std::string &text)
{
    std::vector<std::string> words(1);
    for (unsigned char c : text) {
        if (isspace(c)) {
            if (!words.back().empty())
                words.emplace_back();
        } else {
            words.back() += static_cast<char>(c);
        }
    }
    if (words.back().empty())
        words.pop_back();
    return words;
}

uint32_t address_of(const std::string &word)
{
    struct in_addr converted;
    return inet_aton(word.c_str(), &converted) ? converted.s_addr : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    private_tmp = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("fuzz-dropin", "/tmp", "tmpfs", 0, nullptr) == 0;
    if (!private_tmp)
        fprintf(stderr, "fuzz_dropin: needs root and a mount namespace; inputs are not run\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!private_tmp)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);
    FILE *file = fopen(ZT_DROPIN_FILE, "we");
    FUZZ_CHECK(file && fwrite(text.data(), 1, size, file) == size && fclose(file) == 0);
    dropin = Dropin{};

    const std::vector<std::string> words = words_of(text);
    const bool on = words.size() >= 3 && words[0].size() < kDropinWordSize && words[1].size() < kDropinWordSize &&
                    words[2].size() < kDropinWordSize;
    uint32_t values[3] = {kUntouched, kUntouched, kUntouched};
    FUZZ_CHECK(get_dropin_info(&values[0], &values[1], &values[2]) == on);
    for (int i = 0; i < 3; i++)
        FUZZ_CHECK(values[i] == (on ? address_of(words[i]) : kUntouched));

    unlink(ZT_DROPIN_FILE);
    uint32_t again[3] = {kUntouched, kUntouched, kUntouched};
    FUZZ_CHECK(get_dropin_info(&again[0], &again[1], &again[2]) == on);
    FUZZ_CHECK(memcmp(again, values, sizeof values) == 0);
    for (uint32_t addr : {values[0], values[1], ~values[2], 0u, UINT32_MAX})
        FUZZ_CHECK(in_dropin_net(addr) == (on && (addr & values[2]) == values[1]));
    return 0;
}
