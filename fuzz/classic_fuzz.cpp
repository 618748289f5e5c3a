// libFuzzer target for the classic frames and their conversions.
//
// An input that starts with the command marker is a classic command frame,
// as long as its length byte says (the byte is made to agree with what the
// input holds, which the conversion asserts); it goes to a TLV command,
// back to the same frame, and is answered. Any other input is a TLV
// message, as long as its declared total; when it carries what a
// conversion asserts it is converted and answered alike. The remaining
// bytes steer destination sizes and payloads. Every destination is exactly
// as large as its size says (AddressSanitizer sees any byte beyond), and
// every result must stay inside it; a violated invariant traps.
#include "kxClassic.h"
#include "kxFuzz.h"

#include <array>
#include <vector>

namespace {

using MsgBuf = std::array<uint8_t, KXMSG_MAX>;

// A frame written in a block of n bytes: the marker, the code and at most
// 253 argument bytes; a frame that the command came from comes back whole
// when n holds it and the NUL of the header's bounded print.
void toClassic(const MsgBuf &msg, unsigned n, std::span<const uint8_t> frame)
{
    const uint8_t *arg = tlv_find(msg.data(), TLV_TYPE_ARG);
    if (tlv_find(msg.data(), TLV_TYPE_CMD) == nullptr || arg == nullptr)
        return; // asserted
    std::vector<char> dst(n);
    int len = convertTlvToClassic(dst.data(), n, msg.data());
    check(len == 0 || len == static_cast<int>(4 + std::min(get16(arg + 1), unsigned{CC_MAX_ARGS})));
    check(frame.empty() || n < std::max<size_t>(frame.size(), 5) ||
          std::equal(frame.begin(), frame.end(), reinterpret_cast<uint8_t *>(dst.data())));
}

// The command answered in place within a steered size, with a steered payload.
void answer(const MsgBuf &cmd, FuzzInput &in)
{
    std::span<const uint8_t> payload = in.bytes(in.range(0, 255));
    unsigned size = in.range(0, KXMSG_MAX);
    if (tlv_validate(cmd.data()) != 0 || tlv_find(cmd.data(), TLV_TYPE_SRC) == nullptr ||
        tlv_find(cmd.data(), TLV_TYPE_DST) == nullptr)
        return; // asserted
    unsigned ilen = get16(cmd.data());
    std::vector<uint8_t> buf(cmd.begin(), cmd.begin() + std::max(size, ilen));
    std::array<char, 2 + 255> rframe{CC_MQ_COMMAND_RESP, static_cast<char>(payload.size())};
    std::copy(payload.begin(), payload.end(), rframe.begin() + 2);
    int len = convertClassicRespToTlv(buf.data(), static_cast<int>(ilen), size, rframe.data(),
                                      static_cast<int>(payload.size() + 2));
    if (size >= ilen || len != 0) // a buffer too small for the command may be refused
        checkAnswered(cmd.data(), buf.data(), len, payload, size);
}

// A command frame to TLV in a block of osize bytes, and in place: elements
// that do not fit are left out, the others come out in order.
void fromClassic(std::span<const uint8_t> frame, FuzzInput &in)
{
    unsigned osize = in.range(0, KXMSG_MAX);
    std::vector<uint8_t> obuf(osize);
    int ilen = static_cast<int>(frame.size());
    auto *ibuf = reinterpret_cast<const char *>(frame.data());
    int len = convertClassicCmdToTlv(obuf.data(), osize, ibuf, ilen);
    MsgBuf msg{};
    std::copy(frame.begin(), frame.end(), msg.begin());
    auto *inPlace = reinterpret_cast<char *>(msg.data());
    int again = convertClassicCmdToTlv(msg.data(), osize, inPlace, ilen);
    check(again == len && len >= 0 && static_cast<unsigned>(len) <= osize);
    check(std::equal(obuf.begin(), obuf.begin() + len, msg.begin()));
    if (len == 0 || frame[1] < 2)
        return;
    unsigned expected = 4; // header, then code, arguments, "/to_camera", "/to_kxnet", end
    for (unsigned elem : {6u, 4u + frame[1] - 2, 14u, 13u, 4u})
        expected += expected + elem <= osize ? elem : 0;
    check(len == static_cast<int>(expected) && get16(msg.data()) == expected);
    if (expected != 45u + frame[1] - 2)
        return;
    check(msg[3] == TLV_MSG_TYPE_CMD && tlv_validate(msg.data()) == 0);
    toClassic(msg, in.range(0, 300), frame);
    answer(msg, in);
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
    size_t used = std::min<size_t>(get16(msg.data()), size);
    FuzzInput in{data + used, size - used};
    toClassic(msg, in.range(0, 300), {});
    answer(msg, in);
    return 0;
}
