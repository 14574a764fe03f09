#include "net/DisplayProbe.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace kalvoran::net {

namespace {

std::string_view Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

// Connects to the X server DISPLAY names and lets go again. libxcb does the parsing of the
// name, the authorisation and the handshake exactly as the toolkit would.
bool XServerAnswers() {
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    void* library = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) {
        return false;  // without libxcb the toolkit cannot reach an X server either
    }
    const auto connect = reinterpret_cast<Connect>(::dlsym(library, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(library, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(library, "xcb_disconnect"));
    bool answers = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(nullptr, nullptr);
        answers = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr) {
            disconnect(connection);  // also frees a connection in error
        }
    }
    ::dlclose(library);
    return answers;
}

// The compositor's socket: WAYLAND_DISPLAY itself when it is a path, else a name in
// XDG_RUNTIME_DIR.
bool WaylandCompositorAnswers() {
    const std::string_view name = Variable("WAYLAND_DISPLAY");
    std::string path(name);
    if (!name.starts_with('/')) {
        const std::string_view runtime = Variable("XDG_RUNTIME_DIR");
        if (runtime.empty()) {
            return false;
        }
        path = std::string(runtime) + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        return false;
    }
    const bool answers =
        ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(descriptor);
    return answers;
}

}  // namespace

bool PlatformUnseen() {
    const std::string_view platform = Variable("QT_QPA_PLATFORM");
    return platform.starts_with("offscreen") || platform.starts_with("minimal");
}

DisplayState ProbeDisplay() {
    const std::string_view platform = Variable("QT_QPA_PLATFORM");
    const bool x = !Variable("DISPLAY").empty();
    const bool wayland = !Variable("WAYLAND_DISPLAY").empty();
    if (platform.starts_with("xcb")) {
        return !x ? DisplayState::NotNamed
                  : (XServerAnswers() ? DisplayState::Opens : DisplayState::Unreachable);
    }
    if (platform.starts_with("wayland")) {
        return !wayland
                   ? DisplayState::NotNamed
                   : (WaylandCompositorAnswers() ? DisplayState::Opens : DisplayState::Unreachable);
    }
    if (!platform.empty()) {
        return DisplayState::Opens;
    }
    if (!x && !wayland) {
        return DisplayState::NotNamed;
    }
    if ((wayland && WaylandCompositorAnswers()) || (x && XServerAnswers())) {
        return DisplayState::Opens;
    }
    return DisplayState::Unreachable;
}

}  // namespace kalvoran::net
