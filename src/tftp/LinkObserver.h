// What a front end is told while an agent link runs a chain: the status log's lines, the reasons
// the window shows in a box, and typed progress (which step runs, blocks done of the total, the
// byte count). The window renders them as its log, bar and statistics boxes, the fleet worker
// as its progress messages; a command-line run needs none of them (its log is the console
// report). Nothing a front end decides on is taken from the text of a line.
#pragma once

#include <cstdint>
#include <string_view>

namespace kalvoran {

// The step of a chain that runs.
enum class LinkPhase { Ping, Sending, Fetching, Status };

std::string_view PhaseName(LinkPhase phase);  // "ping", "sending", "fetching", "status"

struct Progress {
    LinkPhase phase = LinkPhase::Ping;
    std::int32_t done = 0;   // blocks moved (a status read counts 100 when its text came)
    std::int32_t total = 0;  // blocks in all; 0 while nothing moves
    std::int64_t bytes = 0;  // the byte count as last counted
};

// The progress bar of a progress: its upper end is 16 bits wide (a larger total is taken modulo
// 65536), and a bar stepped past that end starts again at 0.
struct BarPosition {
    std::uint16_t maximum = 0;
    int position = 0;
};
BarPosition BarOf(const Progress& progress);

class LinkObserver {
public:
    virtual ~LinkObserver() = default;

    virtual void StatusLine(std::string_view /*text*/) {}
    // A reason shown as a modal box in a window: the text, and the system's own words for it
    // (empty when there are none).
    virtual void ErrorBox(std::string_view /*text*/, std::string_view /*detail*/) {}

    virtual void PhaseBegun(LinkPhase /*phase*/) {}
    // The bar moved (a new total, a block done, back to 0).
    virtual void ProgressChanged(const Progress& /*progress*/) {}
    // The byte count was counted anew (a send counts every 8192 bytes and at its end).
    virtual void BytesCounted(std::int64_t /*bytes*/) {}
    // The file a send checked: its length and the CRC32 text stored in its last four bytes.
    virtual void FileLength(std::int32_t /*bytes*/) {}
    virtual void Checksum(std::string_view /*crcText*/) {}

    // A waiting chain calls these: Pump where the operator's input (or a stop signal) may run,
    // KeepAlive where the window may only repaint.
    virtual void Pump() {}
    virtual void KeepAlive() {}
};

}  // namespace kalvoran
