// What the daemon's neighbours see: TLV messages written byte by byte from
// their layout (independently of the library under test), the daemon's
// mailboxes as another process uses them, and the camera's side of the
// IPC endpoints.
#pragma once

#include "kxipc.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kxtest {

using Bytes = std::string;

// One element: spare byte 0, big-endian 16-bit value length, type, value.
Bytes element(uint8_t type, const Bytes &value);

// A message: big-endian 16-bit total, spare 0, type, the elements.
Bytes message(uint8_t type, const std::vector<Bytes> &elements);

// A type-10 command as the network daemon sends it: code, arguments,
// source, destination, end.
Bytes command(const Bytes &code, const Bytes &args = {}, const Bytes &source = "/to_camera",
              const Bytes &destination = "/to_kxnet");

// The response to command(code, args, source, destination): type 11, the
// address elements' types exchanged, the payload before the end element.
Bytes response(const Bytes &code, const Bytes &args, const Bytes &payload,
               const Bytes &source = "/to_camera", const Bytes &destination = "/to_kxnet");

// The value of the first element of the type, if there is one.
std::optional<Bytes> valueOf(const Bytes &msg, uint8_t type);

Bytes hex(const std::string &spaced); // "00 2D 0A" -> bytes

// Bytes as the layout tables list them: numbers, and strings without NUL.
using Piece = std::variant<int, const char *>;
std::vector<uint8_t> layout(std::initializer_list<Piece> pieces);

// The camera's "SU" command, byte for byte (45 bytes).
const std::vector<uint8_t> &suCommand();
std::string toHex(const Bytes &bytes);
// As the JSON forms write bytes: lower-case hex, nothing between.
std::string lowerHex(const Bytes &bytes);

// Puts a message into an existing mailbox (false when it cannot).
bool post(const std::string &mailbox, const Bytes &msg);

// Takes the next message from a mailbox, waiting at most timeoutMs.
std::optional<Bytes> take(const std::string &mailbox, int timeoutMs = 5000);

// The camera's real-time side of one endpoint.
class Camera {
public:
    explicit Camera(const std::string &endpoint);
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;
    bool ok() const;
    bool send(const Bytes &msg);
    std::optional<Bytes> receive(int timeoutMs = 5000);

private:
    kxIpcHdl hdl_{};
    bool open_ = false;
};

} // namespace kxtest
