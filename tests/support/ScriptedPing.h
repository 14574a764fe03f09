// Echoes answered by the test: loads the scripted ICMP module (tests/support/scripted_icmp) that a
// CPingService is then pointed at with SetModulePath(Path()). Each echo calls answer, where a
// test in simulated time also lets the echo's time pass. This object keeps its own handle on the
// module, so the script stays in force while the service loads and releases the same module.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "scripted_icmp/ScriptedIcmp.h"
#include "support/ProgramPath.h"

namespace kalvoran::fakes {

class ScriptedPing {
public:
    // Called for each echo with its destination (storage order) and time-out; true: answered.
    // Unset: no echo is answered.
    std::function<bool(std::uint32_t destination, std::uint32_t timeoutMs)> answer;

    ScriptedPing() : path(ModulePath()) {
        if (path.empty()) {
            return;
        }
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return;
        }
        Bind(setResponder, "IcmpScriptSetResponder");
        Bind(setFailOpen, "IcmpScriptFailOpen");
        Bind(createFile, "IcmpCreateFile");
        Bind(sendEcho, "IcmpSendEcho");
        Bind(closeHandle, "IcmpCloseHandle");
        if (Loaded()) {
            setResponder(&Respond, this);
            setFailOpen(0);
        }
    }
    ~ScriptedPing() {
        if (library == nullptr) {
            return;
        }
        if (Loaded()) {  // the module's state outlives this object only if someone else holds it
            setResponder(nullptr, nullptr);
            setFailOpen(0);
        }
        dlclose(library);
    }
    ScriptedPing(const ScriptedPing&) = delete;
    ScriptedPing& operator=(const ScriptedPing&) = delete;

    // The module was found and has its test controls.
    bool Loaded() const {
        return setResponder != nullptr && setFailOpen != nullptr && createFile != nullptr &&
               sendEcho != nullptr && closeHandle != nullptr;
    }

    // The module's absolute path, for CPingService::SetModulePath.
    const char* Path() const { return path.c_str(); }

    // true: opening the ping service fails from now on.
    void failOpen(bool fail) {
        if (setFailOpen != nullptr) {
            setFailOpen(fail ? 1 : 0);
        }
    }

    // One echo straight through the module, past any CPingService, as another user of the
    // loaded module would send it (whatever wait callback is left in the module runs). Returns
    // the module's reply count; 0 also when no handle could be opened.
    std::uint32_t EchoDirectly(std::uint32_t destination) {
        if (!Loaded()) {
            return 0;
        }
        void* handle = createFile();
        if (handle == ICMP_INVALID_HANDLE) {
            return 0;
        }
        unsigned char data[8] = {};
        alignas(ICMP_ECHO_REPLY) unsigned char reply[sizeof(ICMP_ECHO_REPLY) + sizeof data] = {};
        const std::uint32_t count =
            sendEcho(handle, destination, data, sizeof data, nullptr, reply, sizeof reply, 1000);
        closeHandle(handle);
        return count;
    }

    // <directory of the test program>/modules/libkalvoran-icmp-scripted.so; empty when the
    // program's own path cannot be read.
    static std::string ModulePath() {
        const std::filesystem::path directory = kalvoran::testing::ProgramDirectory();
        if (directory.empty()) {
            return {};
        }
        return (directory / "modules" / "libkalvoran-icmp-scripted.so").string();
    }

private:
    static std::uint32_t Respond(void* context, std::uint32_t destination, std::uint32_t timeout) {
        auto* self = static_cast<ScriptedPing*>(context);
        return self->answer && self->answer(destination, timeout) ? 1 : 0;
    }

    // dlsym hands back an object pointer; POSIX guarantees it converts to the function's type.
    template <typename Function>
    void Bind(Function& function, const char* name) {
        void* symbol = dlsym(library, name);
        static_assert(sizeof function == sizeof symbol);
        std::memcpy(&function, &symbol, sizeof function);
    }

    std::string path;
    void* library = nullptr;
    IcmpScriptSetResponderFn setResponder = nullptr;
    IcmpScriptFailOpenFn setFailOpen = nullptr;
    IcmpCreateFileFn createFile = nullptr;
    IcmpSendEchoFn sendEcho = nullptr;
    IcmpCloseHandleFn closeHandle = nullptr;
};

}  // namespace kalvoran::fakes
