// Whether the display a window would be shown on can be opened, asked without starting the
// toolkit, so that a command-line run can go on without a window instead of failing inside the
// toolkit, and an interactive start can say why it cannot show its dialog.
#pragma once

namespace kalvoran::net {

enum class DisplayState {
    Opens,        // a window can be shown (or the toolkit draws to a platform of its own)
    NotNamed,     // neither DISPLAY nor WAYLAND_DISPLAY names a display
    Unreachable,  // a display is named, but nothing answers there
};

// Reads QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY and XDG_RUNTIME_DIR. An X display counts as
// open when its server accepts a connection (through libxcb, the library the toolkit's X
// platform uses, loaded only to ask); a Wayland display when its compositor's socket accepts
// one. A platform chosen in QT_QPA_PLATFORM other than xcb or wayland opens (the toolkit draws
// there itself).
DisplayState ProbeDisplay();

// True when QT_QPA_PLATFORM chooses a platform that nobody sees (offscreen, minimal).
bool PlatformUnseen();

}  // namespace kalvoran::net
