// Fetches one file from the agent into the file of the Upload File Name box: the EEPROM image
// ("eeprom.bin", at most 32768 bytes) or the configuration the agent generated ("config.cfg",
// whose first block gives its length after "Len:" in hexadecimal). It waits until the agent
// answers a ping, sends the read request, and acknowledges each DATA block to the agent's
// transfer port before awaiting the next.
//
// A fetch either delivers the whole file or changes nothing: the data go to a new file beside
// the target, which takes the target's place only once the last block has been acknowledged. A
// fetch that stops early (no DATA within 20 s, a skipped block, more data than the file may
// hold, a write that fails, an ERROR, a cancel) is a failure and the earlier file stays as it
// was. A block the agent sends again because our acknowledgement was lost is acknowledged again
// and not written twice.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kalvoran {

class TftpClient;

class FetchSession {
public:
    explicit FetchSession(TftpClient& owner) : client(owner) {}
    FetchSession(const FetchSession&) = delete;
    FetchSession& operator=(const FetchSession&) = delete;

    void Run();

    // The length a generated configuration announces in its first block: "Len:" followed by a
    // hexadecimal number (read as strtol does in base 16), in the data up to its first zero byte.
    // -1 when the block has no "Len:".
    static long AnnouncedLength(std::span<const std::uint8_t> data);

private:
    enum class Step { Receive, Acknowledge, End };

    bool Prepare();
    Step Receive();
    Step Acknowledge();
    Step EndWith(int code);
    Step FailWith(int code, const std::string& line);

    TftpClient& client;
    std::string localPath;
    std::int32_t sizeLimit = 0;
    int requestLength = 0;
};

}  // namespace kalvoran
