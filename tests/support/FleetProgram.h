// The kalvoran-fleet program as the end-to-end tests run it: in a temporary folder of the test's
// own, its logs there, its default ledger there too ($XDG_STATE_HOME points into the folder, so
// no test writes the ledger of the user running the tests), and its JSON report read back.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ProgramPath.h"
#include "support/TempDir.h"

namespace kalvoran::testing {

// A JSON report's rows by address.
inline std::map<std::string, nlohmann::json> ReportRows(const std::string& path) {
    std::map<std::string, nlohmann::json> rows;
    const nlohmann::json report = nlohmann::json::parse(ReadFileBytes(path), nullptr, false);
    if (report.is_array()) {
        for (const nlohmann::json& row : report) {
            rows[row.value("address", "")] = row;
        }
    }
    return rows;
}

class FleetTest : public ::testing::Test {
protected:
    FleetTest() { ::setenv("XDG_STATE_HOME", dir.File("state").c_str(), 1); }

    std::string Fleet() const { return (BinDir() / "kalvoran-fleet").string(); }

    std::string WriteInventory(const std::vector<std::string>& lines,
                               const std::string& name = "inventory.txt") {
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        const std::string path = dir.File(name);
        WriteFileBytes(path, text);
        return path;
    }

    RunResult RunFleet(std::vector<std::string> args, int timeoutMs = 60000) {
        args.insert(args.begin(), Fleet());
        args.insert(args.begin() + 1, {"--logs", dir.File("logs")});
        return RunProgram(args, timeoutMs, true);
    }

    TempDir dir;
};

}  // namespace kalvoran::testing
