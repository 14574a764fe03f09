// An INI profile with the semantics of the Windows profile functions: section and key names
// compare without regard to case; values are kept exactly as written (no escaping, so a
// Windows path such as C:\agents\app.bin loads unchanged); writing a key keeps every other
// section, key, comment and the file's line-end style; each write goes to disk at once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kalvoran {

class IniProfile {
public:
    explicit IniProfile(std::string path);

    const std::string& Path() const { return path; }

    // Like GetProfileInt: the value's leading decimal number (blanks and a sign allowed, reading
    // stops at the first non-digit, no digits give 0); defaultValue when the key is absent or
    // its value empty, or the file cannot be read.
    int GetInt(std::string_view section, std::string_view key, int defaultValue) const;
    // Like GetProfileString: the value with surrounding blanks removed (and one pair of
    // surrounding quotes); defaultValue when the key is absent.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    // Like WriteProfileInt / WriteProfileString. False when the file cannot be written; the
    // caller may ignore it.
    bool WriteInt(std::string_view section, std::string_view key, int value);
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);

private:
    std::string path;
};

// $XDG_CONFIG_HOME/KalvoranTFTPclient.INI, with ~/.config when XDG_CONFIG_HOME is unset or empty.
std::string DefaultProfilePath();

}  // namespace kalvoran
