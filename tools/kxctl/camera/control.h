// The running camera's control socket: how another process of the same
// sandbox steers it (send a command, go down, load a scenario) and reads
// its journal. A Unix stream socket beside the endpoints, mode 0600 and
// open to its owner only; one request a connection:
//
//   send CODE HEX | down MS | load PATH | journal      (one line)
//
// answered by "ok" or "error STATUS TEXT" on the first line, and for
// journal the entries after it, a JSON line each.
#pragma once

#include <functional>
#include <string>

namespace kxctl {

// $KXIPC_DIR/camera.control.
std::string controlPath();

// Binds and listens; throws Failure when another camera listens there.
int controlListen();

// Removes the socket file when it is still ours.
void controlClose(int listening);

struct ControlReply {
    int status = 0;   // 0, or the exit status that the client ends with
    std::string text; // the error's, or the lines that follow "ok"
};

using ControlHandler = std::function<ControlReply(const std::string &request)>;

// Takes one connection that is waiting, if any, and answers its request.
void controlServe(int listening, const ControlHandler &handler);

// The client's side: sends the request and returns the lines after "ok";
// throws Failure with the camera's status and text, or "no camera" (3).
std::string controlAsk(const std::string &request);

} // namespace kxctl
