// An INI profile with the semantics of the Windows profile functions: section and key names
// compare without regard to case; values are kept exactly as written (no escaping, so a
// Windows path such as C:\agents\app.bin loads unchanged); writing a key keeps every other
// section, key, comment and the file's line-end style; each write goes to disk at once.
#pragma once

#include <optional>
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

// The reading and rewriting of a profile's text, which the file functions above apply to what
// they load, for a caller that holds the text itself.

// The value of key in section as GetString reads it (surrounding blanks and one pair of quotes
// removed), a view into text; nullopt when the key is absent.
std::optional<std::string_view> ProfileValue(std::string_view text, std::string_view section,
                                             std::string_view key);

// A value read as GetInt reads a non-empty one.
int ProfileIntOf(std::string_view value);

// The text WriteString would write for key = value; changed is false when it reads back byte for
// byte as the text's lines already do (so the file is left as it is).
struct ProfileEdit {
    std::string text;
    bool changed = false;
};
// nullopt for a section, key or value WriteString refuses.
std::optional<ProfileEdit> EditProfileText(std::string_view text, std::string_view section,
                                           std::string_view key, std::string_view value);

// $XDG_CONFIG_HOME/KalvoranTFTPclient.INI, with ~/.config when XDG_CONFIG_HOME is unset or empty.
std::string DefaultProfilePath();

}  // namespace kalvoran
