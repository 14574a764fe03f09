#include "tftp/CommandLineRun.h"

#include <functional>
#include <utility>

#include "files/IniProfile.h"
#include "tftp/AgentLink.h"
#include "tftp/Clock.h"
#include "tftp/ConsoleReport.h"
#include "tftp/StatusDisplay.h"
#include "tftp/StopSignals.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {

constexpr char kUnknownKeywordText[] =
    "File type \"%s\" names none of image, config, command, filesystem: sending as the saved "
    "transfer type %s";
constexpr char kNoSavedTypeText[] =
    "File type \"%s\" names none of image, config, command, filesystem, and the profile holds "
    "no saved transfer type to send it as instead: nothing sent";

// Nobody watches the run: a stop signal is taken where a window would take the operator's
// input, at the session's next pump, once.
class StopObserver final : public LinkObserver {
public:
    void Pump() override {
        if (onStop && caught.Take()) {
            std::exchange(onStop, nullptr)();
        }
    }
    std::function<void()> onStop;

private:
    StopSignals caught;
};

}  // namespace

CommandLineType TypeOfCommandLine(const CommandLine& line, const Settings& settings) {
    if (line.transferType >= 0) {
        return {line.transferType, {}};
    }
    if (settings.typeSaved && TransferTypeInfoOf(settings.transferType) != nullptr) {
        return {settings.transferType, {}};
    }
    return {-1, FormatLine(kNoSavedTypeText, line.fileTypeArgument.c_str())};
}

std::string SavedTypeNotice(const CommandLine& line, int type) {
    const TransferTypeInfo* info = TransferTypeInfoOf(type);
    return FormatLine(kUnknownKeywordText, line.fileTypeArgument.c_str(),
                      info != nullptr ? std::string(info->displayString).c_str() : "");
}

Transfer CommandLineTransfer(const CommandLine& line, int type, const tftp::AskedOptions& asked) {
    Transfer transfer{type, line.fileNameArgument, line.agentOctets, {}};
    transfer.options.asked = asked;
    return transfer;
}

int RunCommandLine(const CommandLine& line, std::string profilePath, ClientIo io) {
    const IniProfile profile(std::move(profilePath));
    const Settings settings = LoadSettings(profile);
    const CommandLineType type = TypeOfCommandLine(line, settings);
    ConsoleReport console(io.log, io.failures);
    console.Enable();
    StopObserver observer;
    StatusDisplay display(observer, console);
    if (const std::string problem = OptionProblemText(settings); !problem.empty()) {
        display.ShowErrorBox(problem);
    }
    if (!type.refusal.empty()) {
        display.FailureLine(type.refusal);
        return kResultRefused;
    }
    display.WriteInstructions();
    if (line.transferType < 0) {
        display.FailureLine(SavedTypeNotice(line, type.type));
    }
    SystemClock systemClock;
    Clock& clock = io.clock != nullptr ? *io.clock : systemClock;
    AgentLink link(display, clock, LinkSetup{false, io.socket, io.pingModule});
    observer.onStop = [&link, &display] {
        link.Close();
        display.FailureLine(kStopSignalText);
    };
    const ChainOutcome chain = link.Send(CommandLineTransfer(line, type.type, settings.asked));
    link.Release();
    return ResultCodeOf(chain.end);
}

}  // namespace kalvoran
