#include "files/StreamWrite.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace kalvoran {

namespace {

// A pipe takes a write of at most PIPE_BUF bytes whole, without blocking, once poll reports it
// writable.
constexpr std::size_t kPiece = PIPE_BUF;

// Descriptors whose last write found no room: the next one only looks, so that a reader that
// has stopped costs the run one wait, not one per line. (The programs write their report from
// one thread.)
std::array<bool, 16> stalled{};

bool AwaitRoom(int descriptor) {
    const bool known = static_cast<std::size_t>(descriptor) < stalled.size();
    const int wait = known && stalled[static_cast<std::size_t>(descriptor)] ? 0 : kStreamRoomWaitMs;
    pollfd watch{descriptor, POLLOUT, 0};
    int ready;
    while ((ready = ::poll(&watch, 1, wait)) < 0 && errno == EINTR) {
        // a stop signal: the run takes it at its next pump
    }
    const bool room =
        ready == 1 && (watch.revents & POLLOUT) != 0 && (watch.revents & (POLLERR | POLLNVAL)) == 0;
    if (known) {
        stalled[static_cast<std::size_t>(descriptor)] = !room;
    }
    return room;
}

}  // namespace

bool WriteWithoutStalling(std::FILE* stream, std::string_view text) {
    if (stream == nullptr) {
        return false;
    }
    const int descriptor = ::fileno(stream);
    if (descriptor < 0) {
        const bool whole = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
        return std::fflush(stream) == 0 && whole;
    }
    while (!text.empty()) {
        if (!AwaitRoom(descriptor)) {
            return false;
        }
        const ssize_t written = ::write(descriptor, text.data(), std::min(text.size(), kPiece));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace kalvoran
