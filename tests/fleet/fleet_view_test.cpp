// What the fleet's view writes for a terminal of a given size and for plain output, and the
// estimate of the time left, without a terminal or a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet/FleetView.h"

namespace kalvoran::fleet {
namespace {

AgentRecord Failed(std::string label, std::string reason) {
    AgentRecord record;
    record.address = "127.0.23.200";
    record.label = std::move(label);
    record.action = "send";
    record.result = 3;
    record.reason = std::move(reason);
    return record;
}

// However long the label, the result stays on the line, and its reason where there is room;
// the label gives way, shortened with an ellipsis.
TEST(FleetViewTest, ALongLabelGivesWayToTheResult) {
    const std::string reason = "Destination Unreachable";
    const struct {
        std::size_t labelLength;
        int columns;  // 0: the plain line
    } rows[] = {{1000, 0}, {1000, 40}, {1000, 80}, {1000, 300}, {40, 0}, {40, 60}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.labelLength) + " at " + std::to_string(row.columns));
        const FleetView view(-1, row.columns > 0, 32);
        const std::string label(row.labelLength, 'L');
        const std::string line = view.FinishedLine(Failed(label, reason), row.columns);
        EXPECT_NE(line.find(" FAILED 3"), std::string::npos) << line;
        if (row.columns == 0 || row.columns >= 80) {
            EXPECT_NE(line.find("FAILED 3  Dest"), std::string::npos) << line;
        }
        EXPECT_NE(line.find("L\u2026 "), std::string::npos) << line;
        EXPECT_EQ(line.find(label), std::string::npos) << line;
        if (row.columns > 0) {
            EXPECT_LE(Columns(line), row.columns) << line;
        } else {
            EXPECT_NE(line.find(reason), std::string::npos) << line;
        }
    }
}

TEST(FleetViewTest, ShortenCutsWholeCharactersAndMarksTheCut) {
    EXPECT_EQ(Shorten("cabinet", 7), "cabinet");
    EXPECT_EQ(Shorten("cabinet", 6), "cabin\u2026");
    EXPECT_EQ(Shorten("cabinet", 1), "\u2026");
    EXPECT_EQ(Shorten("Gr\xc3\xbc\xc3\x9f Gott", 4), "Gr\xc3\xbc\u2026");  // not half a character
    EXPECT_EQ(Columns(Shorten("\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc", 5)), 5);
}

// The running agents that do not fit above the totals line are counted in it; no line is
// wider than the terminal, and the table leaves the cursor's line free, so a redraw scrolls
// nothing away.
TEST(FleetViewTest, TheTableFitsTheTerminal) {
    std::vector<AgentState> states(30);
    std::vector<const AgentState*> running;
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i].agent.address = "127.0.23." + std::to_string(i + 1);
        states[i].agent.label = "cabinet " + std::to_string(i + 1);
        states[i].progress = {"sending", static_cast<std::int64_t>(i), 100, 512 * 1024};
        running.push_back(&states[i]);
    }
    FleetTotals totals;
    totals.running = static_cast<int>(running.size());
    const FleetView view(-1, true, 16);
    for (const TerminalSize size : {TerminalSize{40, 15}, TerminalSize{300, 15},
                                    TerminalSize{300, 50}, TerminalSize{20, 3}}) {
        SCOPED_TRACE(std::to_string(size.columns) + "x" + std::to_string(size.rows));
        const std::vector<std::string> lines = view.Table(running, totals, size);
        ASSERT_FALSE(lines.empty());
        EXPECT_LE(static_cast<int>(lines.size()), size.rows - 1);
        for (const std::string& line : lines) {
            EXPECT_LE(Columns(line), size.columns) << line;
        }
        const std::size_t left = running.size() - (lines.size() - 1);
        const std::string totalsLine = view.Table(running, totals, {1000, size.rows}).back();
        EXPECT_EQ(totalsLine.find("(+" + std::to_string(left) + " more)") != std::string::npos,
                  left > 0)
            << totalsLine;
    }
}

// Agents that failed at once do not make the agents still at 7% look nearly done.
TEST(FleetViewTest, TheTimeLeftIsShownOnlyOnceItMeansSomething) {
    const FleetClock::time_point now = FleetClock::now();
    AgentState slow;
    slow.progress = {"sending", 7, 100, 7000};
    slow.firstStart = now - std::chrono::seconds(10);
    const double slowLeft = 10.0 * 93 / 7;
    const struct {
        const char* label;
        int finished;
        int waiting;
        bool running;
        double atLeast;  // -1: no estimate
    } rows[] = {
        {"nothing finished yet", 0, 5, true, -1},
        {"nothing left", 4, 0, false, -1},
        {"fast failures and a slow agent", 3, 0, true, slowLeft},
        {"fast failures and agents waiting", 3, 4, true, slowLeft},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<const AgentState*> running;
        if (row.running) {
            running.push_back(&slow);
        }
        const double left = LeftSeconds(running, row.finished, row.waiting, 0.3, now);
        if (row.atLeast < 0) {
            EXPECT_EQ(left, -1);
        } else {
            EXPECT_GE(left, row.atLeast - 0.01);
        }
    }
}

}  // namespace
}  // namespace kalvoran::fleet
