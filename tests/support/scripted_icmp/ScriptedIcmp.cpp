// libkalvoran-icmp-scripted.so: the ICMP module's interface without any socket, for tests that
// drive CPingService in simulated time. Each echo asks the test's responder whether the
// destination answers; an answer is stored the way the real module stores one (the destination
// as replying address, round trip 0 ms, TTL 64, the request data echoed behind the record).
// The wait callback, when set, runs once per echo before the responder decides, so that tests
// see it wired through without any waiting.
#include "ScriptedIcmp.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr std::uint8_t kLoopbackTtl = 64;

// A handle is a heap object, so that a sanitizer run reports handles that are never closed and
// handles closed twice.
struct ScriptedHandle {};

IcmpScriptResponderFn gResponder = nullptr;
void* gResponderContext = nullptr;
bool gFailOpen = false;
IcmpWaitCallbackFn gWaitCallback = nullptr;
void* gWaitContext = nullptr;

ScriptedHandle* FromHandle(void* handle) {
    if (handle == nullptr || handle == ICMP_INVALID_HANDLE) {
        return nullptr;
    }
    return static_cast<ScriptedHandle*>(handle);
}

}  // namespace

extern "C" {

void IcmpScriptSetResponder(IcmpScriptResponderFn responder, void* context) {
    gResponder = responder;
    gResponderContext = context;
}

void IcmpScriptFailOpen(int fail) {
    gFailOpen = fail != 0;
}

void IcmpSetWaitCallback(IcmpWaitCallbackFn callback, void* context) {
    gWaitCallback = callback;
    gWaitContext = callback != nullptr ? context : nullptr;
}

void* IcmpCreateFile(void) {
    if (gFailOpen) {
        return ICMP_INVALID_HANDLE;
    }
    auto* handle = new (std::nothrow) ScriptedHandle{};
    return handle != nullptr ? handle : ICMP_INVALID_HANDLE;
}

uint32_t IcmpSendEcho(void* handle, uint32_t destination, void* requestData, uint16_t requestSize,
                      IP_OPTION_INFORMATION* /*requestOptions*/, void* replyBuffer,
                      uint32_t replySize, uint32_t timeout) {
    ScriptedHandle* scripted = FromHandle(handle);
    // The same arguments as the real module refuses.
    if (scripted == nullptr || destination == 0 || (requestData == nullptr && requestSize != 0) ||
        replyBuffer == nullptr || replySize < sizeof(ICMP_ECHO_REPLY) + requestSize) {
        return 0;
    }
    if (gWaitCallback != nullptr) {
        gWaitCallback(gWaitContext);
    }
    if (gResponder == nullptr || gResponder(gResponderContext, destination, timeout) == 0) {
        return 0;
    }

    auto* bytes = static_cast<unsigned char*>(replyBuffer);
    unsigned char* data = bytes + sizeof(ICMP_ECHO_REPLY);
    if (requestSize != 0) {
        std::memcpy(data, requestData, requestSize);
    }
    ICMP_ECHO_REPLY record{};
    record.Address = destination;
    record.Status = IP_SUCCESS;
    record.RoundTripTime = 0;
    record.DataSize = requestSize;
    record.Reserved = 1;
    record.Data = data;
    record.Options.Ttl = kLoopbackTtl;
    std::memcpy(bytes, &record, sizeof record);
    return 1;
}

int IcmpCloseHandle(void* handle) {
    ScriptedHandle* scripted = FromHandle(handle);
    if (scripted == nullptr) {
        return 0;
    }
    delete scripted;
    return 1;
}

}  // extern "C"
