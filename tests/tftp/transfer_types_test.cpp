#include "tftp/TransferTypes.h"

#include <gtest/gtest.h>

#include <string>

namespace kalvoran {
namespace {

TEST(TransferTypes, AgentSideNamesAndLimitsFollowTheType) {
    struct Row {
        int type;
        std::string sendName;
        std::string fetchName;
        std::int32_t sendLimit;
        std::int32_t fetchLimit;
    };
    const Row rows[] = {
        {APPLICATION_UPGRADE, "image.bin", "", 0, 0},
        {CONFIGURATION_UPGRADE, "config.cfg", "", 0, 0},
        {SEND_COMMAND_FILE, "command.cmd", "", 0, 0},
        {SEND_FILE_TO_FILE_SYSTEM, "", "", 262144, 0},
        {CREATE_CONFIG_FILE, "request.cfg", "config.cfg", 0, 8192},
        {READ_EEPROM_FILE, "", "eeprom.bin", 0, 32768},
        {BOOTLOADER_UPGRADE, "rom.bin", "", 131072, 0},
    };
    for (const Row& row : rows) {
        const TransferTypeInfo* info = TransferTypeInfoOf(row.type);
        ASSERT_NE(info, nullptr) << row.type;
        EXPECT_EQ(info->sendName, row.sendName) << row.type;
        EXPECT_EQ(info->fetchName, row.fetchName) << row.type;
        EXPECT_EQ(info->sendSizeLimit, row.sendLimit) << row.type;
        EXPECT_EQ(info->fetchSizeLimit, row.fetchLimit) << row.type;
        EXPECT_EQ(info->sendsOwnName, row.type == SEND_FILE_TO_FILE_SYSTEM) << row.type;
    }
    EXPECT_EQ(TransferTypeInfoOf(-1), nullptr);
    EXPECT_EQ(TransferTypeInfoOf(7), nullptr);
}

TEST(TransferTypes, ListEntriesAreInTypeOrder) {
    const char* expected[] = {"APPLICATION UPGRADE", "CONFIGURATION UPGRADE",
                              "SEND COMMAND FILE",   "SEND FILE TO FILE SYSTEM",
                              "CREATE CONFIG FILE",  "READ EEPROM FILE",
                              "BOOTLOADER UPGRADE"};
    for (int type = 0; type < kTransferTypeCount; ++type) {
        EXPECT_EQ(AllTransferTypes()[static_cast<std::size_t>(type)].displayString, expected[type]);
    }
}

TEST(TransferTypes, LocalNameTestIsCaseSensitiveAndLooksAnywhereInTheName) {
    struct Row {
        int type;
        const char* name;
        bool accepted;
    };
    const Row rows[] = {
        {APPLICATION_UPGRADE, "app.bin", true},
        {APPLICATION_UPGRADE, "app.bin.old", true},
        {APPLICATION_UPGRADE, "APP.BIN", false},
        {APPLICATION_UPGRADE, "settings.cfg", true},  // any of the three, whatever the type
        {BOOTLOADER_UPGRADE, "boot.cmd", true},
        {SEND_COMMAND_FILE, "notes.txt", false},
        {SEND_FILE_TO_FILE_SYSTEM, "logo.gif", true},
        {SEND_FILE_TO_FILE_SYSTEM, "logo.GIF", false},
        {SEND_FILE_TO_FILE_SYSTEM, "style.css", true},
        {SEND_FILE_TO_FILE_SYSTEM, "app.bin", false},
        {READ_EEPROM_FILE, "app.bin", false},  // sends nothing
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ContainsAnyOf(row.name, TransferTypeInfoOf(row.type)->sendExtensions),
                  row.accepted)
            << row.type << " " << row.name;
    }
    EXPECT_TRUE(ContainsAnyOf("dump.cfg", TransferTypeInfoOf(READ_EEPROM_FILE)->fetchExtensions));
    EXPECT_FALSE(ContainsAnyOf("dump.BIN", TransferTypeInfoOf(READ_EEPROM_FILE)->fetchExtensions));
}

TEST(TransferTypes, KeywordsAreTriedInOrderAsCaseSensitiveSubstrings) {
    struct Row {
        const char* argument;
        int type;
    };
    const Row rows[] = {
        {"image", APPLICATION_UPGRADE},
        {"config", CONFIGURATION_UPGRADE},
        {"command", SEND_COMMAND_FILE},
        {"filesystem", SEND_FILE_TO_FILE_SYSTEM},
        {"configimage", APPLICATION_UPGRADE},  // "image" is tried first
        {"myfilesystem", SEND_FILE_TO_FILE_SYSTEM},
        {"IMAGE", -1},
        {"eeprom", -1},
        {"bootloader", -1},
        {"", -1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TransferTypeForKeyword(row.argument), row.type) << row.argument;
    }
}

TEST(TransferTypes, FileControlsFollowTheDirectionOfTheType) {
    auto asTuple = [](FileControlState s) {
        return std::make_tuple(s.downloadName, s.browseDownload, s.downloadButton, s.uploadName,
                               s.browseUpload, s.uploadButton);
    };
    for (int type : {APPLICATION_UPGRADE, CONFIGURATION_UPGRADE, SEND_COMMAND_FILE,
                     SEND_FILE_TO_FILE_SYSTEM, BOOTLOADER_UPGRADE}) {
        EXPECT_EQ(asTuple(FileControlsFor(type)),
                  std::make_tuple(true, true, true, false, false, false))
            << type;
    }
    EXPECT_EQ(asTuple(FileControlsFor(CREATE_CONFIG_FILE)),
              std::make_tuple(true, true, false, true, true, true));
    EXPECT_EQ(asTuple(FileControlsFor(READ_EEPROM_FILE)),
              std::make_tuple(false, false, false, true, true, true));
    EXPECT_EQ(asTuple(FileControlsFor(9)), std::make_tuple(true, true, true, true, true, true));
}

}  // namespace
}  // namespace kalvoran
