// The operator's settings kept between runs in the profile's "Settings" section: transfer type,
// agent address and the two paths.
#pragma once

#include <string>
#include <string_view>

#include "files/IniProfile.h"
#include "net/Addressing.h"

namespace kalvoran {

// Stands in a path whenever the profile holds none. It contains none of the extensions, so it is
// never saved.
inline constexpr std::string_view kNoFileSelected = "\\no file selected\\";
inline constexpr std::string_view kSettingsSection = "Settings";

struct Settings {
    int transferType = 0;    // loaded unchanged, even outside 0..6
    bool typeSaved = false;  // the profile holds a number under "type" (whatever its value)
    net::Octets agentOctets{};
    std::string downloadPath;
    std::string uploadPath;
};

// Missing file, section or keys give the defaults; each "ip" value keeps its low 8 bits.
Settings LoadSettings(const IniProfile& profile);

// Writes "type", "ip0".."ip3", then "path" only when the download field holds a name a send
// accepts, and "uploadpath" only when the upload field holds a name a fetch accepts; otherwise
// those keys keep their earlier values. Write failures are not reported.
void SaveSettings(IniProfile& profile, int transferType, const net::Octets& agentOctets,
                  std::string_view downloadField, std::string_view uploadField);

}  // namespace kalvoran
