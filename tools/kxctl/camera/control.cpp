#include "control.h"

#include "failure.h"

#include "kxipc.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kxctl {

namespace {

// A request longer than this is no request of ours (a path is the longest).
constexpr size_t kLongestRequest = 8192;
// A client that connects and says nothing is given this long: the request
// is read inside the camera's poll loop, and kxctl writes it as soon as it
// has connected, so a short wait holds up no timer noticeably.
constexpr int kRequestWaitMs = 200;

sockaddr_un addressOf(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw Failure(kExitFailure, path + ": too long for a socket path");
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

int connectTo(const std::string &path)
{
    sockaddr_un addr = addressOf(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw Failure(kExitFailure, std::string("socket: ") + strerror(errno));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    int error = errno;
    close(fd);
    errno = error;
    return -1;
}

bool writeAll(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Up to the first line end, or "" when none comes in time.
std::string readRequest(int fd)
{
    std::string request;
    char chunk[512];
    while (request.find('\n') == std::string::npos && request.size() < kLongestRequest) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kRequestWaitMs) <= 0)
            return "";
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return "";
        request.append(chunk, static_cast<size_t>(n));
    }
    size_t eol = request.find('\n');
    return eol == std::string::npos ? "" : request.substr(0, eol);
}

bool sameUser(int fd)
{
    ucred peer{};
    socklen_t len = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && peer.uid == geteuid();
}

std::string readAll(int fd)
{
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure(kExitFailure, controlPath() + ": " + strerror(errno));
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

std::string controlPath()
{
    return std::string(kxIpcDir()) + "/camera.control";
}

int controlListen()
{
    std::string path = controlPath();
    if (int other = connectTo(path); other >= 0) {
        close(other);
        throw Failure(kExitFailure, "another kxctl camera runs here (" + path + ")");
    }
    sockaddr_un addr = addressOf(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    unlink(path.c_str());
    mode_t before = umask(077);
    int rc = fd < 0 ? -1 : bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    umask(before);
    if (rc != 0 || chmod(path.c_str(), 0600) != 0 || listen(fd, 8) != 0) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        throw Failure(kExitFailure, path + ": " + strerror(error));
    }
    return fd;
}

void controlClose(int listening)
{
    if (listening < 0)
        return;
    close(listening);
    unlink(controlPath().c_str());
}

void controlServe(int listening, const ControlHandler &handler)
{
    int fd = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    ControlReply reply{kExitFailure, "the camera is another user's"};
    if (sameUser(fd)) {
        std::string request = readRequest(fd);
        reply = request.empty() ? ControlReply{kExitUsage, "no request"} : handler(request);
    }
    writeAll(fd, reply.status == 0 ? "ok\n" + reply.text
                                   : "error " + std::to_string(reply.status) + " " + reply.text +
                                         "\n");
    close(fd);
}

std::string controlAsk(const std::string &request)
{
    std::string path = controlPath();
    int fd = connectTo(path);
    if (fd < 0 && (errno == ENOENT || errno == ECONNREFUSED))
        throw Failure(kExitNoDaemon, "no kxctl camera runs here (nothing listens at " + path + ")");
    if (fd < 0)
        throw Failure(kExitNoDaemon, path + ": " + strerror(errno));
    bool sent = writeAll(fd, request + "\n");
    std::string reply = sent ? readAll(fd) : "";
    close(fd);
    if (reply.starts_with("ok\n"))
        return reply.substr(3);
    int status = kExitFailure, used = 0;
    if (sscanf(reply.c_str(), "error %d %n", &status, &used) == 1 && used > 0 &&
        status > kExitOk && status <= kExitRefused) {
        size_t from = static_cast<size_t>(used);
        throw Failure(status, reply.substr(from, reply.find('\n', from) - from));
    }
    throw Failure(kExitFailure, path + ": the camera gave no answer");
}

} // namespace kxctl
