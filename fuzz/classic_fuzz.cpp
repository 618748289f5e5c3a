// libFuzzer target for the classic frames and their conversions.
//
// An input that starts with the command marker is a classic command frame,
// as long as its length byte says (the byte is made to agree with what the
// input holds, which the conversion asserts); it goes to a TLV command,
// back to a frame, and is answered. Any other input is a TLV message, as
// long as its declared total; when it carries what a conversion asserts it
// is converted and answered alike. The remaining bytes steer destination
// sizes and payloads. Every result must stay inside its destination, and
// whatever fits must come out whole; a violated invariant traps.
#include "kxClassic.h"
#include "kxFuzz.h"
#include "kxTlv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using MsgBuf = std::array<uint8_t, KXMSG_MAX>;
constexpr unsigned kNameLen[] = {10, 9}; // "/to_camera", "/to_kxnet"

unsigned get16(const uint8_t *p)
{
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

// A frame written in a block of n bytes: nothing beyond it, and as much as
// fits of the marker, the code and at most 253 argument bytes (a header cut
// by n ends in its print's NUL). A well-formed command with room for its
// frame and a NUL must convert.
void toClassic(const MsgBuf &msg, unsigned n, std::span<const uint8_t> frame)
{
    const uint8_t *code = tlv_find(msg.data(), TLV_TYPE_CMD);
    const uint8_t *arg = tlv_find(msg.data(), TLV_TYPE_ARG);
    if (code == nullptr || arg == nullptr)
        return; // asserted
    std::vector<char> dst(n); // exactly n: AddressSanitizer sees any byte beyond
    int len = convertTlvToClassic(dst.data(), n, msg.data());
    unsigned argc = std::min(get16(arg + 1), unsigned{CC_MAX_ARGS});
    check(len == 0 || len == static_cast<int>(4 + argc));
    check(len != 0 || n <= 4 + argc || tlv_validate(msg.data()) != 0);
    if (len == 0)
        return;
    std::array<uint8_t, 4 + CC_MAX_ARGS> expected{CC_MQ_COMMAND_REQ, static_cast<uint8_t>(argc + 2),
                                                  code[4], code[5]};
    std::copy_n(arg + 4, argc, expected.begin() + 4);
    size_t kept = n > 4 ? std::min<size_t>(n, len) : (n > 0 ? n - 1 : 0);
    check(std::equal(dst.begin(), dst.begin() + static_cast<long>(kept), expected.begin(),
                     [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    check(frame.empty() || std::equal(frame.begin(), frame.end(), expected.begin()));
}

// The command answered in place within size: type + 1, the two addresses
// exchanged, the payload appended when it fits, and still well-formed
// unless only the new end element failed to fit.
void answer(const MsgBuf &cmd, std::span<const uint8_t> payload, unsigned size)
{
    const uint8_t *src = tlv_find(cmd.data(), TLV_TYPE_SRC);
    const uint8_t *dst = tlv_find(cmd.data(), TLV_TYPE_DST);
    if (tlv_validate(cmd.data()) != 0 || src == nullptr || dst == nullptr)
        return; // asserted
    unsigned ilen = get16(cmd.data());
    std::vector<uint8_t> buf(std::max(size, ilen));
    std::copy_n(cmd.begin(), ilen, buf.begin());
    std::array<char, 2 + 255> rframe{CC_MQ_COMMAND_RESP, static_cast<char>(payload.size())};
    std::copy(payload.begin(), payload.end(), rframe.begin() + 2);
    int len = convertClassicRespToTlv(buf.data(), static_cast<int>(ilen), size, rframe.data(),
                                      static_cast<int>(payload.size() + 2));
    if (size < ilen && len == 0) { // a buffer too small for the command may be refused
        check(memcmp(buf.data(), cmd.data(), ilen) == 0);
        return;
    }
    bool fits = ilen + payload.size() <= size;
    size_t grown = ilen - 4 + (fits ? 4 + payload.size() : 0);
    bool closed = grown + 4 <= size;
    size_t expected = grown + (closed ? 4 : 0);
    check(len == static_cast<int>(expected) && get16(buf.data()) == expected);
    check(buf[3] == static_cast<uint8_t>(cmd[3] + 1));
    check(buf[src - cmd.data() + 3] == TLV_TYPE_DST && buf[dst - cmd.data() + 3] == TLV_TYPE_SRC);
    if (!closed)
        return;
    check(tlv_validate(buf.data()) == 0);
    const uint8_t *resp = buf.data() + ilen - 4;
    check(!fits || (resp[3] == TLV_TYPE_RESP && get16(resp + 1) == payload.size() &&
                    std::equal(payload.begin(), payload.end(), resp + 4)));
}

void answerSteered(const MsgBuf &cmd, FuzzInput &in)
{
    std::span<const uint8_t> payload = in.bytes(in.range(0, 255));
    answer(cmd, payload, in.range(0, KXMSG_MAX));
}

// A command frame to TLV in a block of osize bytes, and in its own buffer:
// elements that do not fit are left out, the others come out in order.
void fromClassic(std::span<const uint8_t> frame, FuzzInput &in)
{
    unsigned osize = in.range(0, KXMSG_MAX);
    std::vector<uint8_t> obuf(osize);
    const char *ibuf = reinterpret_cast<const char *>(frame.data());
    int ilen = static_cast<int>(frame.size());
    int len = convertClassicCmdToTlv(obuf.data(), osize, ibuf, ilen);
    MsgBuf msg{};
    std::copy(frame.begin(), frame.end(), msg.begin());
    int again = convertClassicCmdToTlv(msg.data(), osize, reinterpret_cast<char *>(msg.data()), ilen);
    check(again == len && len >= 0 && static_cast<unsigned>(len) <= osize);
    check(std::equal(obuf.begin(), obuf.begin() + len, msg.begin()));
    if (len == 0 || frame[1] < 2)
        return;
    unsigned argc = frame[1] - 2u;
    unsigned expected = 4;
    for (unsigned elem : {6u, 4 + argc, 4 + kNameLen[0], 4 + kNameLen[1], 4u})
        expected += expected + elem <= osize ? elem : 0;
    check(len == static_cast<int>(expected) && get16(msg.data()) == expected);
    if (expected != 45 + argc)
        return;
    check(msg[3] == TLV_MSG_TYPE_CMD && tlv_validate(msg.data()) == 0);
    toClassic(msg, in.range(0, 300), frame);
    answerSteered(msg, in);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= 2 && data[0] == CC_MQ_COMMAND_REQ) {
        std::array<uint8_t, 2 + 255> frame;
        size_t flen = std::min<size_t>(2u + data[1], size);
        std::copy_n(data, flen, frame.begin());
        frame[1] = static_cast<uint8_t>(flen - 2);
        FuzzInput in{data + flen, size - flen};
        fromClassic({frame.data(), flen}, in);
        return 0;
    }
    MsgBuf msg{};
    std::copy_n(data, std::min(size, msg.size()), msg.begin());
    size_t used = std::clamp<size_t>(get16(msg.data()), 0, size);
    FuzzInput in{data + used, size - used};
    toClassic(msg, in.range(0, 300), {});
    answerSteered(msg, in);
    return 0;
}
