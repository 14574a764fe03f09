// libFuzzer target over the fleet's inventory reader (ParseInventory): a text file anyone may
// write, naming the agents a run sends firmware to.
//
// Input: the inventory's text.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "FuzzTarget.h"
#include "fleet/Inventory.h"
#include "net/Addressing.h"

namespace {

namespace fleet = kalvoran::fleet;
namespace net = kalvoran::net;

using kalvoran::fuzzing::Check;

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// The line number an error names: "inventory:LINE: ...".
int ErrorLine(const std::string& error) {
    constexpr std::string_view kPrefix = "inventory:";
    Check(std::string_view(error).starts_with(kPrefix));
    int line = 0;
    std::size_t i = kPrefix.size();
    while (i < error.size() && error[i] >= '0' && error[i] <= '9') {
        line = line * 10 + (error[i] - '0');
        ++i;
    }
    Check(i < error.size() && error[i] == ':' && line > 0);
    return line;
}

bool SameAgents(const fleet::Inventory& a, const fleet::Inventory& b) {
    if (a.agents.size() != b.agents.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.agents.size(); ++i) {
        if (a.agents[i].octets != b.agents[i].octets ||
            a.agents[i].address != b.agents[i].address || a.agents[i].label != b.agents[i].label) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const fleet::Inventory inventory = fleet::ParseInventory(text);

    // Either agents or errors; errors in line order, at most the limit and the one that says
    // where checking stopped.
    Check(!inventory.agents.empty() || !inventory.errors.empty());
    Check(inventory.errors.size() <= fleet::kMaxInventoryErrors + 1);
    std::size_t lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    const int lastLine = static_cast<int>(lines) + 1;
    int previous = 0;
    for (const std::string& error : inventory.errors) {
        if (error == "inventory: no agents") {
            Check(inventory.errors.size() == 1 && inventory.agents.empty());
            continue;
        }
        const int line = ErrorLine(error);
        Check(line > previous && line <= lastLine);
        previous = line;
    }

    // Every agent: a dotted address that reads back as its octets, not 0.0.0.0, listed once, on
    // a line of its own in file order, with a label free of control characters (tab aside) and
    // of surrounding blanks.
    std::set<net::Octets> seen;
    previous = 0;
    for (const fleet::InventoryAgent& agent : inventory.agents) {
        net::Octets again{};
        Check(net::ParseDottedAddress(agent.address, again) && again == agent.octets);
        Check(agent.octets != net::Octets{0, 0, 0, 0});
        Check(seen.insert(agent.octets).second);
        Check(agent.line > previous && agent.line <= lastLine);
        previous = agent.line;
        for (const char c : agent.label) {
            Check(c == '\t' || !IsControl(static_cast<unsigned char>(c)));
            Check(c != '#');
        }
        Check(agent.label.empty() || (agent.label.front() != ' ' && agent.label.front() != '\t' &&
                                      agent.label.back() != ' ' && agent.label.back() != '\t'));
    }
    // Read again, the same.
    const fleet::Inventory twice = fleet::ParseInventory(text);
    Check(SameAgents(inventory, twice) && twice.errors == inventory.errors);

    // The agents written out as an inventory of their own read back as the same agents, with
    // CR LF line ends as well, and without errors.
    if (inventory.errors.empty()) {
        std::string written = "# written again\n";
        std::string windows = "\xEF\xBB\xBF";
        for (const fleet::InventoryAgent& agent : inventory.agents) {
            const std::string line =
                agent.address + (agent.label.empty() ? "" : "\t" + agent.label);
            written += line + "\n";
            windows += line + "\r\n";
        }
        const fleet::Inventory reread = fleet::ParseInventory(written);
        Check(reread.errors.empty() && SameAgents(reread, inventory));
        const fleet::Inventory rereadWindows = fleet::ParseInventory(windows);
        Check(rereadWindows.errors.empty() && SameAgents(rereadWindows, inventory));
    }
    return 0;
}
