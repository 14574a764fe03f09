// agent-sim: a TFTP server on UDP that behaves like a monitoring card's agent, for tests, the
// demo and the benchmarks. Run with --help for its options.
#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "agent-sim/AgentSim.h"
#include "agent-sim/UdpDriver.h"

namespace {

using namespace kalvoran::agentsim;

constexpr const char* kUsage =
    "Usage: agent-sim [options]\n"
    "A TFTP server that behaves like an agent: takes image.bin, rom.bin, config.cfg,\n"
    "command.cmd, request.cfg and file-system files (.jpg .gif .css .ico .txt); serves\n"
    "eeprom.bin, status.bin, config.cfg (generated after request.cfg) and stored files.\n"
    "A request that asks for blksize, windowsize or tsize gets an OACK of what the agent\n"
    "accepts (unknown options are left out); one without them gets a plain transfer.\n"
    "\n"
    "Options:\n"
    "  --address A           IPv4 address to listen on (default 127.0.0.1); must lie in\n"
    "                        127.0.0.0/8 unless --allow-non-loopback is given\n"
    "  --allow-non-loopback  accept an address outside 127.0.0.0/8\n"
    "  --port P              UDP port (default 69; 0 lets the system choose)\n"
    "  --dir D               keep received files in D and serve files from D (created if\n"
    "                        missing); without it files are kept in memory\n"
    "  --timeout MS          time-out before a packet is sent again (default 1000)\n"
    "  --retries N           resends of one packet before a transfer is dropped (default 5)\n"
    "  --latency MS          send every datagram MS milliseconds late, as over a link with\n"
    "                        that round trip (0 to 60000, default 0); resends go late too,\n"
    "                        while time-outs still run from the moment the agent sends\n"
    "  --max-blksize N       largest blksize agreed to (8 to 65464, default 65464)\n"
    "  --max-windowsize N    largest windowsize agreed to (1 to 64, default 64)\n"
    "  --status-steps N      intermediate status.bin texts before the final phrase (default 2)\n"
    "  --status-final TEXT   final status.bin text after every file, instead of the phrase\n"
    "                        that fits the file\n"
    "  --fault SPEC          commit a fault; may be repeated. N is the block number of the\n"
    "                        agent's packet (DATA N on reads, ACK N on writes; packet 0 is the\n"
    "                        ACK 0 or the OACK that answers a request); @NAME limits it to\n"
    "                        transfers of that file:\n"
    "                          drop:N[@NAME]        do not send packet N (the resend goes)\n"
    "                          delay:N:MS[@NAME]    send packet N MS milliseconds late\n"
    "                          duplicate:N[@NAME]   send packet N twice\n"
    "                          stall:N[@NAME]       stop answering after packet N\n"
    "                          wrong-port:N[@NAME]  send packet N from another port\n"
    "                          short:N[@NAME]       send a 3-byte datagram before packet N\n"
    "                          oversize:N[@NAME]    send a 600-byte datagram before packet N\n"
    "                          stray:N[@NAME]       send a look-alike of packet N from a\n"
    "                                               second socket first\n"
    "                          drop-in-window:N[@NAME] a read leaves out the first DATA N\n"
    "                                               of its window; a write discards DATA N\n"
    "                                               once\n"
    "                          lose:N:K[@NAME]      a write ignores DATA N K times and sends\n"
    "                                               ACK N-1 again a time-out after each\n"
    "                          error:NAME:CODE[:TEXT] answer requests for NAME with ERROR\n"
    "                        and on every request that carries options (a plain request\n"
    "                        is served normally):\n"
    "                          ignore-options[@NAME]      serve it as a plain request\n"
    "                          options-error[@NAME]       answer it with ERROR 8\n"
    "                          oack-larger-blksize[@NAME] OACK blksize one above the asked\n"
    "                          oack-unrequested[@NAME]    OACK adds timeout 5, not asked\n"
    "                          oack-malformed[@NAME]      OACK's last value lacks its zero\n"
    "  --verbose             log every request (with its options), OACK, fault and end of\n"
    "                        transfer (with its DATA count, blksize, windowsize) to stderr\n"
    "  --help                show this text\n"
    "\n"
    "Once listening it prints \"ready ADDRESS:PORT\" on standard output. SIGTERM or SIGINT\n"
    "ends it with exit code 0; a usage error gives 2, a socket failure 1.\n";

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

struct Options {
    std::string address = "127.0.0.1";
    bool allowNonLoopback = false;
    long port = 69;
    std::optional<std::filesystem::path> directory;
    bool verbose = false;
    Settings settings;
};

std::optional<long> ReadNumber(std::string_view text, long lowest, long highest) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

// The options that take a number, and its range.
struct NumberOption {
    std::string_view name;
    long lowest;
    long highest;
};

constexpr std::array<NumberOption, 7> kNumberOptions = {{
    {"--port", 0, 65535},
    {"--timeout", 1, 600000},
    {"--retries", 0, 1000},
    {"--latency", 0, 60000},
    {"--status-steps", 0, 1000},
    {"--max-blksize", kalvoran::tftp::kMinBlksize, kalvoran::tftp::kMaxBlksize},
    {"--max-windowsize", kalvoran::tftp::kMinWindowsize, kalvoran::tftp::kMaxWindowsize},
}};

const NumberOption* NumberOptionNamed(std::string_view name) {
    for (const NumberOption& option : kNumberOptions) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "agent-sim: %s\nTry agent-sim --help.\n", message.c_str());
    return 2;
}

// Returns -1 when the options are complete, otherwise the exit code to end with.
int ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        std::optional<std::string_view> inlineValue;
        if (const std::size_t equals = option.find('=');
            option.starts_with("--") && equals != std::string_view::npos) {
            inlineValue = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        const auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 < argc) {
                return std::string_view(argv[++i]);
            }
            return std::nullopt;
        };

        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--verbose" || option == "-v") {
            options.verbose = true;
        } else if (option == "--allow-non-loopback") {
            options.allowNonLoopback = true;
        } else if (option == "--address" || option == "--dir" || option == "--status-final" ||
                   option == "--fault" || NumberOptionNamed(option) != nullptr) {
            const auto text = value();
            if (!text) {
                return UsageError(std::string(option) + " needs a value");
            }
            if (option == "--address") {
                options.address = std::string(*text);
            } else if (option == "--dir") {
                options.directory = std::filesystem::path(std::string(*text));
            } else if (option == "--status-final") {
                options.settings.statusFinal = std::string(*text);
            } else if (option == "--fault") {
                const auto fault = ParseFault(*text);
                if (!fault) {
                    return UsageError("bad fault: " + std::string(*text));
                }
                options.settings.faults.push_back(*fault);
            } else {
                const NumberOption& range = *NumberOptionNamed(option);
                const auto number = ReadNumber(*text, range.lowest, range.highest);
                if (!number) {
                    return UsageError("bad value for " + std::string(option) + ": " +
                                      std::string(*text));
                }
                if (option == "--port") {
                    options.port = *number;
                } else if (option == "--timeout") {
                    options.settings.retransmitMs = *number;
                } else if (option == "--latency") {
                    options.settings.latencyMs = *number;
                } else if (option == "--retries") {
                    options.settings.retransmits = static_cast<int>(*number);
                } else if (option == "--max-blksize") {
                    options.settings.maxBlksize = static_cast<int>(*number);
                } else if (option == "--max-windowsize") {
                    options.settings.maxWindowsize = static_cast<int>(*number);
                } else {
                    options.settings.statusSteps = static_cast<int>(*number);
                }
            }
        } else {
            return UsageError("unknown argument: " + std::string(option));
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int exitCode = ParseOptions(argc, argv, options); exitCode >= 0) {
        return exitCode;
    }

    in_addr parsed{};
    if (inet_pton(AF_INET, options.address.c_str(), &parsed) != 1) {
        return UsageError("not an IPv4 address: " + options.address);
    }
    const std::uint32_t address = ntohl(parsed.s_addr);
    // Tests and demos must never reach a real network by mistake.
    if ((address >> 24) != 127 && !options.allowNonLoopback) {
        return UsageError(options.address +
                          " is outside 127.0.0.0/8; add --allow-non-loopback to use it");
    }

    std::unique_ptr<Storage> storage;
    if (options.directory) {
        std::error_code error;
        std::filesystem::create_directories(*options.directory, error);
        if (error || !std::filesystem::is_directory(*options.directory)) {
            std::fprintf(stderr, "agent-sim: cannot use directory %s: %s\n",
                         options.directory->c_str(), error.message().c_str());
            return 1;
        }
        storage = std::make_unique<DirectoryStorage>(*options.directory);
    } else {
        storage = std::make_unique<MemoryStorage>();
    }

    if (options.verbose) {
        options.settings.log = [](const std::string& line) {
            std::fprintf(stderr, "agent-sim: %s\n", line.c_str());
        };
    }

    // Stop signals are blocked except while the driver sleeps (see UdpDriver::Run).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    AgentSim machine(*storage, options.settings);
    UdpDriver driver(machine, address, options.verbose);
    std::string error;
    if (!driver.Listen(static_cast<std::uint16_t>(options.port), error)) {
        std::fprintf(stderr, "agent-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready %s\n", PeerText(Peer{address, driver.ListenPort()}).c_str());
    std::fflush(stdout);

    const int result = driver.Run(gStop);
    if (options.verbose) {
        std::fprintf(stderr, "agent-sim: stopped\n");
    }
    return result;
}
