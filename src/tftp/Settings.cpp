#include "tftp/Settings.h"

#include <array>

#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {
constexpr std::array<std::string_view, 4> kAddressKeys = {"ip0", "ip1", "ip2", "ip3"};
}

Settings LoadSettings(const IniProfile& profile) {
    Settings settings;
    // Two defaults tell a missing key from one that holds either of them.
    const int type = profile.GetInt(kSettingsSection, "type", -1);
    settings.typeSaved = type == profile.GetInt(kSettingsSection, "type", -2);
    settings.transferType = settings.typeSaved ? type : 0;
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
