// Output that must all arrive, however slowly its reader reads, from a program whose own work
// must not wait for that reader (the fleet's agents wait on the fleet to read their progress).
// Text is queued without bound and written a piece at a time, only when the descriptor shows
// room; at the end, Drain writes the rest, waiting for the reader as long as it takes. Only a
// stream that fails (closed, a full device, a hung-up terminal) loses text: what was queued for
// it is dropped, and nothing more is tried.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kalvoran {

class OutputQueue {
public:
    explicit OutputQueue(int descriptor) : fd(descriptor) {}

    void Add(std::string_view text);
    // Text queued and not yet written (none once the stream has failed).
    bool Pending() const { return !failed && sent < queued.size(); }
    bool Failed() const { return failed; }
    int Descriptor() const { return fd; }

    // Writes what the descriptor takes now without waiting: one piece, at most PIPE_BUF bytes,
    // which a pipe that shows room takes whole.
    void WriteReady();
    // Writes everything queued, waiting for the reader; false when the stream failed.
    bool Drain();

private:
    // One write of what is queued; false when the stream failed or showed no room.
    bool WritePiece(std::size_t most);
    void Fail();

    int fd;
    std::string queued;
    std::size_t sent = 0;  // bytes of queued already written
    bool failed = false;
};

}  // namespace kalvoran
