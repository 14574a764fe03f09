#include "tftp/Settings.h"

#include <array>
#include <cctype>
#include <charconv>

#include "tftp/AgentText.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {

constexpr std::array<std::string_view, 4> kAddressKeys = {"ip0", "ip1", "ip2", "ip3"};
// A value longer than this is shown cut, so that a stray line of text makes no huge box.
constexpr std::size_t kMostValueShown = 32;

// The option under key, or 0 when the profile holds none; a value that is not a whole number
// from lowest to highest adds a problem and is not asked.
int ReadOption(const IniProfile& profile, std::string_view key, int lowest, int highest,
               std::vector<std::string>& problems) {
    const std::string value = profile.GetString(kSettingsSection, key, "");
    if (value.empty()) {
        return 0;
    }
    long number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.find_first_not_of("0123456789") == std::string::npos && error == std::errc() &&
        end == value.data() + value.size() && number >= lowest && number <= highest) {
        return static_cast<int>(number);
    }
    const std::string shown = value.size() > kMostValueShown
                                  ? EscapeAgentText(value.substr(0, kMostValueShown)) + "..."
                                  : EscapeAgentText(value);
    problems.push_back(std::string(key) + "=" + shown + " (" + std::to_string(lowest) + " to " +
                       std::to_string(highest) + ")");
    return 0;
}

}  // namespace

Settings LoadSettings(const IniProfile& profile) {
    Settings settings;
    // A number, as the profile reads numbers: a missing key, an empty value or a word is none.
    const std::string typeText = profile.GetString(kSettingsSection, "type", "");
    const std::size_t digit = typeText.starts_with('-') || typeText.starts_with('+') ? 1 : 0;
    settings.typeSaved =
        typeText.size() > digit && std::isdigit(static_cast<unsigned char>(typeText[digit])) != 0;
    settings.transferType = profile.GetInt(kSettingsSection, "type", 0);
    for (std::size_t i = 0; i < kAddressKeys.size(); ++i) {
        const int value = profile.GetInt(kSettingsSection, kAddressKeys[i], 0);
        settings.agentOctets[i] = static_cast<std::uint8_t>(static_cast<unsigned>(value) & 0xFFu);
    }
    settings.downloadPath = profile.GetString(kSettingsSection, "path", "");
    if (settings.downloadPath.empty()) {
        settings.downloadPath = kNoFileSelected;
    }
    settings.uploadPath = profile.GetString(kSettingsSection, "uploadpath", "");
    if (settings.uploadPath.empty()) {
        settings.uploadPath = kNoFileSelected;
    }
    settings.asked.blksize = ReadOption(profile, tftp::kBlksizeOption, tftp::kMinBlksize,
                                        tftp::kMaxBlksize, settings.optionProblems);
    settings.asked.windowsize = ReadOption(profile, tftp::kWindowsizeOption, tftp::kMinWindowsize,
                                           tftp::kMaxWindowsize, settings.optionProblems);
    return settings;
}

std::string OptionProblemText(const Settings& settings) {
    const std::vector<std::string>& problems = settings.optionProblems;
    if (problems.empty()) {
        return {};
    }
    std::string text =
        problems.size() == 1 ? "Profile value out of range: " : "Profile values out of range: ";
    for (std::size_t i = 0; i < problems.size(); ++i) {
        text += (i == 0 ? "" : ", ") + problems[i];
    }
    text += problems.size() == 1 ? "; the plain protocol is used for it."
                                 : "; the plain protocol is used for them.";
    return text;
}

void SaveSettings(IniProfile& profile, int transferType, const net::Octets& agentOctets,
                  std::string_view downloadField, std::string_view uploadField) {
    profile.WriteInt(kSettingsSection, "type", transferType);
    for (std::size_t i = 0; i < kAddressKeys.size(); ++i) {
        profile.WriteInt(kSettingsSection, kAddressKeys[i], agentOctets[i]);
    }
    if (ContainsAnyOf(downloadField, AllSendExtensions())) {
        profile.WriteString(kSettingsSection, "path", downloadField);
    }
    if (ContainsAnyOf(uploadField, AllFetchExtensions())) {
        profile.WriteString(kSettingsSection, "uploadpath", uploadField);
    }
}

}  // namespace kalvoran
