#include "files/OutputQueue.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace kalvoran {

namespace {

// Written text is cut from the front of the queue once this much has gathered, so that a long
// run does not keep everything it ever wrote.
constexpr std::size_t kCompactAfter = std::size_t{64} * 1024;

// What poll says of the descriptor: room, nothing yet, or a stream that has failed.
enum class Room { Ready, None, Failed };

Room Look(int fd, int waitMs) {
    pollfd watch{fd, POLLOUT, 0};
    int ready;
    while ((ready = ::poll(&watch, 1, waitMs)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || (watch.revents & (POLLERR | POLLNVAL)) != 0) {
        return Room::Failed;
    }
    // A hang-up with room reported still goes to write, which tells how the stream failed.
    return ready == 1 ? Room::Ready : Room::None;
}

}  // namespace

void OutputQueue::Add(std::string_view text) {
    if (!failed) {
        queued.append(text);
    }
}

bool OutputQueue::WritePiece(std::size_t most) {
    const std::size_t length = std::min(queued.size() - sent, most);
    const ssize_t written = ::write(fd, queued.data() + sent, length);
    if (written < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail();
        }
        return false;
    }
    sent += static_cast<std::size_t>(written);
    if (sent == queued.size()) {
        queued.clear();
        sent = 0;
    } else if (sent >= kCompactAfter) {
        queued.erase(0, sent);
        sent = 0;
    }
    return true;
}

void OutputQueue::Fail() {
    failed = true;
    queued.clear();
    sent = 0;
}

void OutputQueue::WriteReady() {
    if (!Pending()) {
        return;
    }
    const Room room = Look(fd, 0);
    if (room == Room::Failed) {
        Fail();
    } else if (room == Room::Ready) {
        WritePiece(PIPE_BUF);
    }
}

bool OutputQueue::Drain() {
    while (Pending()) {
        // The wait is the reader's: the run is over and nothing else waits on this process.
        const Room room = Look(fd, -1);
        if (room == Room::Failed) {
            Fail();
        } else if (room == Room::Ready) {
            WritePiece(queued.size());
        }
    }
    return !failed;
}

}  // namespace kalvoran
