#include "tftp/Settings.h"

#include <array>
#include <cctype>

#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {
constexpr std::array<std::string_view, 4> kAddressKeys = {"ip0", "ip1", "ip2", "ip3"};
}

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
    return settings;
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
