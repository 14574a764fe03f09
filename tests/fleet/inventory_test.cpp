#include "fleet/Inventory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kalvoran::fleet {
namespace {

struct Expected {
    net::Octets octets;
    const char* address;
    const char* label;
    int line;
};

void ExpectAgents(const Inventory& inventory, const std::vector<Expected>& expected,
                  const std::string& context) {
    EXPECT_TRUE(inventory.errors.empty()) << context << ": " << inventory.errors.front();
    ASSERT_EQ(inventory.agents.size(), expected.size()) << context;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const InventoryAgent& agent = inventory.agents[i];
        EXPECT_EQ(agent.octets, expected[i].octets) << context << " #" << i;
        EXPECT_EQ(agent.address, expected[i].address) << context << " #" << i;
        EXPECT_EQ(agent.label, expected[i].label) << context << " #" << i;
        EXPECT_EQ(agent.line, expected[i].line) << context << " #" << i;
    }
}

TEST(ParseInventory, ReadsAgentsLabelsAndLineNumbers) {
    const std::string longLabel(kMaxInventoryLine - 9, 'x');  // with "10.0.0.9 ": 4096 bytes
    const struct {
        std::string text;
        std::vector<Expected> agents;
    } rows[] = {
        {"10.0.0.5\n", {{{10, 0, 0, 5}, "10.0.0.5", "", 1}}},
        {"10.0.0.5 rack 2,  top\n", {{{10, 0, 0, 5}, "10.0.0.5", "rack 2,  top", 1}}},
        {" \t10.0.0.5\t\tinner\ttab \t\n", {{{10, 0, 0, 5}, "10.0.0.5", "inner\ttab", 1}}},
        {"10.0.0.5 a\r\n10.0.0.6\r\n192.168.1.254 b\r",
         {{{10, 0, 0, 5}, "10.0.0.5", "a", 1},
          {{10, 0, 0, 6}, "10.0.0.6", "", 2},
          {{192, 168, 1, 254}, "192.168.1.254", "b", 3}}},
        {"# fleet A\n\n  # indented\n\t\n10.0.0.5 a # note\n10.0.0.6#x\n  10.0.0.7  ##\n",
         {{{10, 0, 0, 5}, "10.0.0.5", "a", 5},
          {{10, 0, 0, 6}, "10.0.0.6", "", 6},
          {{10, 0, 0, 7}, "10.0.0.7", "", 7}}},
        {"010.001.000.009 zeros", {{{10, 1, 0, 9}, "10.1.0.9", "zeros", 1}}},
        {"\xEF\xBB\xBF"
         "10.0.0.5 S\u00FCd\n",
         {{{10, 0, 0, 5}, "10.0.0.5", "S\u00FCd", 1}}},
        {"10.0.0.9 " + longLabel + "\r\n", {{{10, 0, 0, 9}, "10.0.0.9", longLabel.c_str(), 1}}},
    };
    for (const auto& row : rows) {
        ExpectAgents(ParseInventory(row.text), row.agents, row.text.substr(0, 60));
    }
}

TEST(ParseInventory, ReportsEveryBadLineWithItsNumber) {
    const struct {
        std::string text;
        std::vector<std::string> errors;
    } rows[] = {
        {"10.0.0\n", {R"(inventory:1: not a dotted IPv4 address: "10.0.0")"}},
        {"10.0.0.5\n10.0.0.256 x\n", {R"(inventory:2: not a dotted IPv4 address: "10.0.0.256")"}},
        {"agent7.example rack\n", {R"(inventory:1: not a dotted IPv4 address: "agent7.example")"}},
        {"10.0.0.5,rack\n", {R"(inventory:1: not a dotted IPv4 address: "10.0.0.5,rack")"}},
        {"\"10.0.0.5\\\"\n", {R"(inventory:1: not a dotted IPv4 address: "\"10.0.0.5\\\"")"}},
        {"10.0.0.5\vrack\n", {R"(inventory:1: not a dotted IPv4 address: "10.0.0.5\x0Brack")"}},
        // Only one CR is a line end; a second is part of the address.
        {"10.0.0.5\r\r\n", {R"(inventory:1: not a dotted IPv4 address: "10.0.0.5\x0D")"}},
        {"\n\xEF\xBB\xBF"
         "10.0.0.5\n",
         {"inventory:2: not a dotted IPv4 address: \"\xEF\xBB\xBF"
          "10.0.0.5\""}},
        {std::string(50, '9') + "\n",
         {"inventory:1: not a dotted IPv4 address: \"" + std::string(40, '9') + "...\""}},
        {std::string(39, '9') + "\u00E9" + std::string(20, '9'),  // not cut inside the \u00E9
         {"inventory:1: not a dotted IPv4 address: \"" + std::string(39, '9') + "...\""}},
        {"0.0.0.0 spare\n", {"inventory:1: 0.0.0.0 is not an agent's address"}},
        {"10.0.0.5 rack\x01\n", {"inventory:1: control character in the label"}},
        {"10.0.0.5 rack\x7F\n", {"inventory:1: control character in the label"}},
        {std::string("10.0.0.5 a\0b\n", 13), {"inventory:1: control character in the label"}},
        {"10.0.0.9 " + std::string(kMaxInventoryLine - 8, 'x') + "\n",
         {"inventory:1: line longer than 4096 bytes"}},
        {"10.0.0.5\n10.0.0.6\n10.0.0.5 again\n010.0.0.5\n",
         {"inventory:3: 10.0.0.5 is listed twice (first on line 1)",
          "inventory:4: 10.0.0.5 is listed twice (first on line 1)"}},
        // Bad lines among good ones, in line order; no "no agents" when the lines said why.
        {"1.2.3\n# c\n10.0.0.5\n0.0.0.0\n",
         {R"(inventory:1: not a dotted IPv4 address: "1.2.3")",
          "inventory:4: 0.0.0.0 is not an agent's address"}},
        {"", {"inventory: no agents"}},
        {"# only a comment\r\n \t\n\n", {"inventory: no agents"}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ParseInventory(row.text).errors, row.errors) << row.text.substr(0, 60);
    }
}

TEST(ParseInventory, StopsCheckingAfterTooManyErrors) {
    std::string text = "10.0.0.1\n";
    for (int i = 0; i < 150; ++i) {
        text += "junk\n";
    }
    const Inventory inventory = ParseInventory(text);
    ASSERT_EQ(inventory.errors.size(), kMaxInventoryErrors + 1);
    EXPECT_EQ(inventory.errors[kMaxInventoryErrors - 1],
              R"(inventory:101: not a dotted IPv4 address: "junk")");
    EXPECT_EQ(inventory.errors.back(),
              "inventory:102: too many errors; the rest of the inventory is not checked");
}

TEST(ReadInventory, ReadsFilesAndStandardInputAndNamesWhatFailed) {
    testing::TempDir dir;
    const std::string path = dir.File("fleet.txt");
    testing::WriteFileBytes(path, "10.0.0.5 a\r\n10.0.0.6\n");
    ExpectAgents(ReadInventory(path),
                 {{{10, 0, 0, 5}, "10.0.0.5", "a", 1}, {{10, 0, 0, 6}, "10.0.0.6", "", 2}}, path);

    const int saved = ::dup(STDIN_FILENO);
    const int file = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(::dup2(file, STDIN_FILENO), 0);
    const Inventory fromInput = ReadInventory("-");
    ::dup2(saved, STDIN_FILENO);
    ::close(file);
    ::close(saved);
    ExpectAgents(fromInput,
                 {{{10, 0, 0, 5}, "10.0.0.5", "a", 1}, {{10, 0, 0, 6}, "10.0.0.6", "", 2}},
                 "stdin");

    const std::string missing = dir.File("missing.txt");
    EXPECT_EQ(ReadInventory(missing).errors,
              std::vector<std::string>{"inventory: " + missing + ": " + std::strerror(ENOENT)});
    EXPECT_EQ(ReadInventory(dir.Path().string()).errors,
              std::vector<std::string>{"inventory: " + dir.Path().string() + ": " +
                                       std::strerror(EISDIR)});
}

TEST(ReadInventory, ReadsUpTo16MiB) {
    testing::TempDir dir;
    const std::string path = dir.File("big.txt");
    std::string text = "10.0.0.5\n";
    const std::string comment = "#" + std::string(1022, 'c') + "\n";
    while (text.size() + comment.size() <= kMaxInventoryBytes) {
        text += comment;
    }
    text.append(kMaxInventoryBytes - text.size(), '\n');
    testing::WriteFileBytes(path, text);
    ExpectAgents(ReadInventory(path), {{{10, 0, 0, 5}, "10.0.0.5", "", 1}}, "16 MiB");
    testing::WriteFileBytes(path, text + "\n");
    EXPECT_EQ(ReadInventory(path).errors,
              std::vector<std::string>{"inventory: " + path + ": larger than 16 MiB"});
}

}  // namespace
}  // namespace kalvoran::fleet
