#include "tftp/TransferTypes.h"

#include <gtest/gtest.h>

namespace kalvoran {
namespace {

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

}  // namespace
}  // namespace kalvoran
