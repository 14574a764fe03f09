// Ping through the ICMP echo module: one echo per Ping, a one-line result for the status log and
// the number of replies.
//
// The echo waits up to 5 seconds on the calling thread, which is the window's thread. A wait
// callback (SetWaitCallback) runs every few milliseconds meanwhile, so the window keeps
// repainting and the operator's handlers run nested inside Ping. A Release from such a handler
// is therefore held back until the echo is over: the module's code and the reply buffer are
// still in use further up the stack.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/icmp/IcmpApi.h"

namespace kalvoran::net {

class CPingService {
public:
    static constexpr std::size_t kPayloadSize = 64;
    static constexpr std::uint8_t kPayloadByte = 0xAA;
    static constexpr std::uint32_t kEchoTimeoutMs = 5000;
    // One reply record followed by room for the 64 echoed bytes (92 bytes where pointers take
    // four bytes; the record grows with 8-byte pointers).
    static constexpr std::size_t kReplyBufferSize = sizeof(ICMP_ECHO_REPLY) + kPayloadSize;
    static constexpr std::size_t kResultTextSize = 256;
    static constexpr std::size_t kModulePathSize = 4096;

    // Result codes of Ping.
    static constexpr int kPingDone = 0;
    static constexpr int kModuleMissing = 2;
    static constexpr int kFunctionMissing = 4;
    static constexpr int kOpenFailed = 5;
    static constexpr int kBufferFailed = 6;

    // Uses the module installed with the program (see DefaultModulePath).
    CPingService();
    // Uses the module at modulePath instead (an absolute path; cut to kModulePathSize - 1).
    explicit CPingService(const char* modulePath);
    ~CPingService();
    CPingService(const CPingService&) = delete;
    CPingService& operator=(const CPingService&) = delete;

    // The module's absolute path next to the running program:
    // dirname(/proc/self/exe)/../lib/kalvoran/libkalvoran-icmp.so. Never the library search path,
    // so no other module can be slipped in. False, buffer empty, when it does not fit or the
    // program's own path cannot be read.
    static bool DefaultModulePath(char* buffer, std::size_t size);

    // Module to load from the next Ping on; nullptr returns to the default. Takes effect after
    // Release when a module is already loaded.
    void SetModulePath(const char* modulePath);

    // The echo target: the agent's IPv4 address in storage order (first octet first in memory),
    // as resolved for the session.
    void SetTarget(std::uint32_t addressInStorageOrder);

    using WaitCallback = void (*)(void* context);
    // callback(context) runs between slices of at most ICMP_WAIT_SLICE_MS while an echo waits for
    // its reply; nullptr: the echo waits in one piece. Handed to the module at every Ping (a module
    // without IcmpSetWaitCallback simply waits in one piece) and withdrawn from it by Release.
    void SetWaitCallback(WaitCallback callback, void* context);

    // One echo to the target with a 5000 ms time-out; see the result codes above. Loads the module
    // and allocates the reply buffer on first use and keeps both until Release. replyCount is 0
    // after any failure, so that no answer to an earlier echo outlives a later attempt.
    int Ping();

    // Frees the reply buffer and unloads the module, whichever of them exists. Safe to repeat;
    // the next Ping loads them again. Called from the wait callback, it takes effect when the
    // running Ping returns.
    void Release();

    bool ModuleLoaded() const { return icmpLibrary != nullptr; }

    char resultText[kResultTextSize] = {};  // outcome of the last Ping, one status-log line
    std::uint32_t replyCount = 0;           // replies to the last echo sent; 0: no answer

private:
    bool LoadModule();
    int SendOneEcho();
    void SetResult(const char* text);

    unsigned char* replyBuffer = nullptr;
    void* icmpLibrary = nullptr;
    std::uint32_t agentAddress = 0;  // storage order
    unsigned char payload[kPayloadSize] = {};
    char modulePath[kModulePathSize] = {};
    bool useDefaultPath = true;  // false: load modulePath

    IcmpCreateFileFn createFile = nullptr;
    IcmpSendEchoFn sendEcho = nullptr;
    IcmpCloseHandleFn closeHandle = nullptr;
    IcmpSetWaitCallbackFn setWaitCallback = nullptr;  // null: the module has none

    WaitCallback waitCallback = nullptr;
    void* waitContext = nullptr;
    int pingDepth = 0;            // Pings running: more than one when a handler pings again
    bool releasePending = false;  // Release asked for while a Ping was running
};

}  // namespace kalvoran::net
