// Decodes arbitrary text from an arbitrary state, in one call and again in
// pieces cut at arbitrary points with the state carried along: every call
// writes no more bytes than its text holds and nothing past it, and both
// ways give the same bytes, result and final state. The same input, encoded
// and decoded, comes back unchanged.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "zttools.h"

namespace {

struct Outcome {
    int result = 0;
    std::string bytes;
    ATOB_State state;
};

// One decoding call on a copy of text inside a larger block, checking what
// the call may write.
int decode_checked(ATOB_State &state, const std::string &text, std::string &bytes)
{
    std::vector<char> block(text.size() + 16, '\x5a');
    memcpy(block.data(), text.data(), text.size());
    int len = static_cast<int>(text.size());
    int result = atobDecode(&state, block.data(), &len);
    if (len < 0 || static_cast<size_t>(len) > text.size() || (result == -1 && len != 0) ||
        result < -1 ||
        (result > 0 && (static_cast<size_t>(result) > text.size() ||
                        text[static_cast<size_t>(result) - 1] != 'c')))
        __builtin_trap();
    // Beyond the decoded bytes the text is as it was (an abort reports no
    // bytes but may have written some), and past it nothing.
    if (result != -1 && memcmp(block.data() + len, text.data() + len, text.size() - static_cast<size_t>(len)) != 0)
        __builtin_trap();
    for (size_t i = text.size(); i < block.size(); i++)
        if (block[i] != '\x5a')
            __builtin_trap();
    bytes.append(block.data(), static_cast<size_t>(len));
    return result;
}

Outcome decode_in_pieces(ATOB_State state, const std::string &text, const std::vector<size_t> &cuts)
{
    Outcome outcome;
    size_t start = 0;
    for (size_t i = 0; i <= cuts.size(); i++) {
        size_t end = i < cuts.size() ? cuts[i] : text.size();
        std::string piece_bytes;
        int result = decode_checked(state, text.substr(start, end - start), piece_bytes);
        if (result == -1) {
            outcome.result = -1;
            outcome.bytes.clear();
            break;
        }
        outcome.bytes += piece_bytes;
        if (result > 0) {
            outcome.result = static_cast<int>(start) + result;
            break;
        }
        start = end;
    }
    outcome.state = state;
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Input: phase, pack, up to four cut points, then the text.
    if (size < 6)
        return 0;
    ATOB_State start = ATOB_Init;
    start.phase = static_cast<int8_t>(data[0]) % 5;  // -4 to 4: out of range too
    start.pack = data[1];
    const std::string text(reinterpret_cast<const char *>(data) + 6, size - 6);
    std::vector<size_t> cuts;
    for (int i = 2; i < 6; i++)
        cuts.push_back(text.empty() ? 0 : data[i] * text.size() / 255);
    std::sort(cuts.begin(), cuts.end());

    Outcome whole = decode_in_pieces(start, text, {});
    Outcome pieces = decode_in_pieces(start, text, cuts);
    // An abort drops the output of its own call only, so only the state
    // and the result are compared then.
    if (whole.result != pieces.result || whole.state.phase != pieces.state.phase ||
        whole.state.pack != pieces.state.pack || whole.state.reserved != start.reserved ||
        (whole.result != -1 && whole.bytes != pieces.bytes))
        __builtin_trap();

    // The text taken as data: encoded and decoded it comes back.
    std::vector<char> buffer(4 * (text.size() / 3 + 1) + 2);
    memcpy(buffer.data(), text.data(), text.size());
    int length = atobEncode(buffer.data(), static_cast<int>(text.size()), 'c');
    ATOB_State state = ATOB_Init;
    int count = length;
    if (atobDecode(&state, buffer.data(), &count) != length || count != static_cast<int>(text.size()) ||
        memcmp(buffer.data(), text.data(), text.size()) != 0)
        __builtin_trap();
    return 0;
}
