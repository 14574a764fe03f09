#include "net/PingService.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kalvoran::net {
namespace {

constexpr char kModuleRelativePath[] = "/../lib/kalvoran/libkalvoran-icmp.so";

// Copies text into a buffer of size bytes; false, buffer empty, when it does not fit.
bool CopyText(const char* text, char* buffer, std::size_t size) {
    const std::size_t length = std::strlen(text);
    if (size == 0) {
        return false;
    }
    if (length >= size) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text, length + 1);
    return true;
}

// dlsym hands back an object pointer; POSIX guarantees it converts to the function's type.
template <typename Function>
Function LookUp(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof symbol);
    std::memcpy(&function, &symbol, sizeof function);
    return function;
}

}  // namespace

CPingService::CPingService() = default;

CPingService::CPingService(const char* path) {
    SetModulePath(path);
}

CPingService::~CPingService() {
    Release();
}

bool CPingService::DefaultModulePath(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) {
        return false;
    }
    buffer[0] = '\0';
    char program[kModulePathSize];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) {
        return false;
    }
    program[length] = '\0';
    char* slash = std::strrchr(program, '/');
    if (slash == nullptr) {
        return false;
    }
    *slash = '\0';  // the program's directory ("" for a program in /)
    const int written = std::snprintf(buffer, size, "%s%s", program, kModuleRelativePath);
    if (written < 0 || static_cast<std::size_t>(written) >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

void CPingService::SetModulePath(const char* path) {
    useDefaultPath = path == nullptr;
    // A path that does not fit leaves modulePath empty, which no Ping will load.
    if (path == nullptr || !CopyText(path, modulePath, sizeof modulePath)) {
        modulePath[0] = '\0';
    }
}

void CPingService::SetTarget(std::uint32_t addressInStorageOrder) {
    agentAddress = addressInStorageOrder;
}

void CPingService::SetWaitCallback(WaitCallback callback, void* context) {
    waitCallback = callback;
    waitContext = context;
}

void CPingService::SetResult(const char* text) {
    CopyText(text, resultText, sizeof resultText);
}

bool CPingService::LoadModule() {
    if (icmpLibrary != nullptr) {
        return true;
    }
    char path[kModulePathSize];
    if (!useDefaultPath) {
        CopyText(modulePath, path, sizeof path);
    } else if (!DefaultModulePath(path, sizeof path)) {
        return false;
    }
    // Only an absolute path: a bare name would send dlopen through the library search path.
    if (path[0] != '/') {
        return false;
    }
    icmpLibrary = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return icmpLibrary != nullptr;
}

int CPingService::Ping() {
    replyCount = 0;  // whatever happens below, no earlier answer stands for this attempt
    ++pingDepth;
    const int result = SendOneEcho();
    --pingDepth;
    if (pingDepth == 0 && releasePending) {
        Release();
    }
    return result;
}

int CPingService::SendOneEcho() {
    if (!LoadModule()) {
        SetResult("Unable to locate ICMP.DLL!");
        return kModuleMissing;
    }

    createFile = LookUp<IcmpCreateFileFn>(icmpLibrary, "IcmpCreateFile");
    closeHandle = LookUp<IcmpCloseHandleFn>(icmpLibrary, "IcmpCloseHandle");
    sendEcho = LookUp<IcmpSendEchoFn>(icmpLibrary, "IcmpSendEcho");
    if (createFile == nullptr || closeHandle == nullptr || sendEcho == nullptr) {
        SetResult("Failed to get proc addr for function.");
        return kFunctionMissing;
    }
    // The module's setting is shared by everyone who loaded it, so it is set again every time.
    setWaitCallback = LookUp<IcmpSetWaitCallbackFn>(icmpLibrary, "IcmpSetWaitCallback");
    if (setWaitCallback != nullptr) {
        setWaitCallback(waitCallback, waitContext);
    }

    void* handle = createFile();
    if (handle == ICMP_INVALID_HANDLE) {
        SetResult("Unable to open ping service.");
        return kOpenFailed;
    }

    std::memset(payload, kPayloadByte, sizeof payload);

    if (replyBuffer == nullptr) {
        replyBuffer = static_cast<unsigned char*>(std::calloc(1, kReplyBufferSize));
    } else {
        std::memset(replyBuffer, 0, kReplyBufferSize);  // no reply of an earlier echo survives
    }
    if (replyBuffer == nullptr) {
        closeHandle(handle);
        SetResult("Failed to allocate global ping packet buffer.");
        return kBufferFailed;
    }

    replyCount =
        sendEcho(handle, agentAddress, payload, static_cast<std::uint16_t>(sizeof payload), nullptr,
                 replyBuffer, static_cast<std::uint32_t>(kReplyBufferSize), kEchoTimeoutMs);
    closeHandle(handle);

    if (replyCount == 0) {
        SetResult("No response from server");
        return kPingDone;
    }
    // The status field is not examined: any stored reply counts as an answer.
    ICMP_ECHO_REPLY reply;
    std::memcpy(&reply, replyBuffer, sizeof reply);
    unsigned char address[4];
    std::memcpy(address, &reply.Address, sizeof address);
    // At most 47 characters: always fits.
    (void)std::snprintf(resultText, sizeof resultText, "Addr: %d.%d.%d.%d, RTT: %dmS, TTL: %d",
                        address[0], address[1], address[2], address[3],
                        static_cast<int>(reply.RoundTripTime), reply.Options.Ttl);
    return kPingDone;
}

void CPingService::Release() {
    if (pingDepth > 0) {
        releasePending = true;  // the running Ping releases on its way out
        return;
    }
    releasePending = false;
    if (replyBuffer != nullptr) {
        std::free(replyBuffer);
        replyBuffer = nullptr;
    }
    if (icmpLibrary != nullptr) {
        // Another handle may keep the module loaded; it must not call back into this object.
        if (setWaitCallback != nullptr) {
            setWaitCallback(nullptr, nullptr);
        }
        dlclose(icmpLibrary);
        icmpLibrary = nullptr;
    }
    createFile = nullptr;
    sendEcho = nullptr;
    closeHandle = nullptr;
    setWaitCallback = nullptr;
}

}  // namespace kalvoran::net
