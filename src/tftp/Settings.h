// The operator's settings kept between runs in the profile's "Settings" section: transfer type,
// agent address and the two paths; and the TFTP options the profile asks for ("blksize",
// "windowsize"), which the client reads but never writes, so that a profile set up elsewhere
// keeps them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "files/IniProfile.h"
#include "net/Addressing.h"
#include "tftp/TftpPacket.h"

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
    // Every transfer asks for these; 0 (a key absent, empty or out of range) asks for nothing.
    tftp::AskedOptions asked;
    // One entry per option key whose value is no whole number in its range, e.g.
    // "blksize=abc (8 to 65464)"; that option is not asked.
    std::vector<std::string> optionProblems;
};

// Missing file, section or keys give the defaults; each "ip" value keeps its low 8 bits. An
// option key is judged on its own: its value, with surrounding blanks (and one pair of quotes)
// removed as for every profile value, must be decimal digits only and in the option's range.
Settings LoadSettings(const IniProfile& profile);

// The one text that tells the operator (a box) or a script (a line on standard error) which
// option values were set aside; empty when there are none.
std::string OptionProblemText(const Settings& settings);

// Writes "type", "ip0".."ip3", then "path" only when the download field holds a name a send
// accepts, and "uploadpath" only when the upload field holds a name a fetch accepts; otherwise
// those keys keep their earlier values. Write failures are not reported.
void SaveSettings(IniProfile& profile, int transferType, const net::Octets& agentOctets,
                  std::string_view downloadField, std::string_view uploadField);

}  // namespace kalvoran
