#include "kxwire.h"

#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>

namespace kxtest {

Bytes element(uint8_t type, const Bytes &value)
{
    size_t n = value.size();
    return Bytes{'\0', static_cast<char>(n >> 8), static_cast<char>(n), static_cast<char>(type)} +
           value;
}

Bytes message(uint8_t type, const std::vector<Bytes> &elements)
{
    Bytes body;
    for (const auto &e : elements)
        body += e;
    size_t total = 4 + body.size();
    return Bytes{static_cast<char>(total >> 8), static_cast<char>(total), '\0',
                 static_cast<char>(type)} +
           body;
}

Bytes command(const Bytes &code, const Bytes &args, const Bytes &source, const Bytes &destination)
{
    return message(10, {element('A', code), element('B', args), element('D', source),
                        element('C', destination), element(0xEE, {})});
}

Bytes response(const Bytes &code, const Bytes &args, const Bytes &payload, const Bytes &source,
               const Bytes &destination)
{
    return message(11, {element('A', code), element('B', args), element('C', source),
                        element('D', destination), element('E', payload), element(0xEE, {})});
}

namespace {

size_t u16(const Bytes &m, size_t at)
{
    return static_cast<size_t>(static_cast<uint8_t>(m[at])) << 8 | static_cast<uint8_t>(m[at + 1]);
}

} // namespace

std::optional<Bytes> valueOf(const Bytes &msg, uint8_t type)
{
    size_t total = msg.size() >= 2 ? u16(msg, 0) : 0;
    for (size_t at = 4; at + 4 <= total && at + 4 <= msg.size();) {
        size_t len = u16(msg, at + 1);
        if (static_cast<uint8_t>(msg[at + 3]) == type && at + 4 + len <= msg.size())
            return msg.substr(at + 4, len);
        at += 4 + len;
    }
    return std::nullopt;
}

Bytes hex(const std::string &spaced)
{
    Bytes out;
    for (size_t i = 0; i < spaced.size(); i += spaced[i] == ' ' ? 1 : 2)
        if (spaced[i] != ' ')
            out += static_cast<char>(std::stoi(spaced.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<uint8_t> layout(std::initializer_list<Piece> pieces)
{
    std::vector<uint8_t> out;
    for (const Piece &p : pieces) {
        if (const int *n = std::get_if<int>(&p))
            out.push_back(static_cast<uint8_t>(*n));
        else
            for (const char *s = std::get<const char *>(p); *s; ++s)
                out.push_back(static_cast<uint8_t>(*s));
    }
    return out;
}

const std::vector<uint8_t> &suCommand()
{
    static const std::vector<uint8_t> su =
        layout({0x00, 0x2D, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41, "SU", 0x00, 0x00, 0x00, 0x42, 0x00,
                0x00, 0x0A, 0x44, "/to_camera", 0x00, 0x00, 0x09, 0x43, "/to_kxnet", 0x00, 0x00,
                0x00, 0xEE});
    return su;
}

std::string toHex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes)
        out += (out.empty() ? "" : " ") + std::string{digits[b >> 4], digits[b & 0xF]};
    return out;
}

std::string lowerHex(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes)
        out += std::string{digits[b >> 4], digits[b & 0xF]};
    return out;
}

bool post(const std::string &mailbox, const Bytes &msg)
{
    mqd_t q = mq_open(mailbox.c_str(), O_WRONLY);
    bool sent = q != static_cast<mqd_t>(-1) && mq_send(q, msg.data(), msg.size(), 0) == 0;
    mq_close(q);
    return sent;
}

std::optional<Bytes> take(const std::string &mailbox, int timeoutMs)
{
    // On Linux a mailbox descriptor is a file descriptor that poll() takes.
    pollfd p{mq_open(mailbox.c_str(), O_RDONLY | O_NONBLOCK), POLLIN, 0};
    char buf[8192];
    bool ready = p.fd >= 0 && poll(&p, 1, timeoutMs) == 1;
    ssize_t n = ready ? mq_receive(p.fd, buf, sizeof buf, nullptr) : -1;
    mq_close(p.fd);
    return n < 0 ? std::nullopt : std::optional(Bytes(buf, static_cast<size_t>(n)));
}

Camera::Camera(const std::string &endpoint) : open_(kxIpcRtInit(endpoint.c_str(), &hdl_) == 0) {}

Camera::~Camera()
{
    if (open_)
        kxIpcClose(&hdl_);
}

bool Camera::ok() const { return open_; }

bool Camera::send(const Bytes &msg)
{
    return kxIpcSend(&hdl_, msg.data(), static_cast<int>(msg.size())) >= 0;
}

std::optional<Bytes> Camera::receive(int timeoutMs)
{
    pollfd p{kxIpcGetFd(&hdl_), POLLIN, 0};
    char buf[KXIPC_MSG_MAX];
    int n = p.fd >= 0 && poll(&p, 1, timeoutMs) == 1 ? kxIpcReceive(&hdl_, buf) : 0;
    return n <= 0 ? std::nullopt : std::optional(Bytes(buf, static_cast<size_t>(n)));
}

} // namespace kxtest
