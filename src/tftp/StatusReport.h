// Asks the agent how its job went: after a send the agent offers "status.bin", a short text
// describing its current or last job. An attempt waits until the agent answers a ping, reads
// the first DATA block of that file, writes its text into the status log and looks in it for one
// of seven final phrases (case-sensitive). Until one of them (or nothing) comes, the poll asks
// again, up to 20 times, so that the operator sees the agent's intermediate reports.
//
// Attempt results: 0 no final status yet (asked again); 1 a final status, an empty one, none in
// time, or a ping that went unanswered; 2 "Config file done", the agent's signal that the
// configuration it generates is ready to be fetched.
#pragma once

#include <span>
#include <string_view>

namespace kalvoran {

class TftpClient;

class StatusReport {
public:
    static constexpr int kNotFinal = 0;
    static constexpr int kFinal = 1;
    static constexpr int kConfigFileDone = 2;

    explicit StatusReport(TftpClient& owner) : client(owner) {}
    StatusReport(const StatusReport&) = delete;
    StatusReport& operator=(const StatusReport&) = delete;

    int ReadAttempt();
    // "Getting Status (if available): ", then up to 20 attempts 200 ms apart; stops at the
    // first final one and returns the last attempt's result.
    int Poll();

    // kFinal or kConfigFileDone for a text that holds a final phrase or is empty, else
    // kNotFinal.
    static int Classify(std::string_view statusText);
    // The status text of a DATA payload: up to its first zero byte.
    static std::string_view TextOf(std::span<const std::uint8_t> payload);

private:
    enum class Step { Receive, Acknowledge, End };

    Step Receive();
    Step Acknowledge();

    TftpClient& client;
    int attemptResult = kNotFinal;
    bool errorReported = false;  // an ERROR ended the attempt without the End step
};

}  // namespace kalvoran
