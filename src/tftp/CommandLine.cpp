#include "tftp/CommandLine.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tftp/TransferTypes.h"

namespace kalvoran {

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    const int count = argc - 1;
    if (count <= 0) {
        return line;
    }
    line.kind = CommandLine::Kind::UsageError;
    if (count != 3 && count != 4) {
        return line;
    }
    const std::string_view fileType = argv[1];
    const std::string_view fileName = argv[2];
    const std::string_view address = argv[3];
    const std::string_view mode = count == 4 ? std::string_view(argv[4]) : "verbose";
    struct Limit {
        std::string_view argument;
        const char* name;
        std::size_t maximum;
    };
    const Limit limits[] = {{fileType, "file type", kMaxFileTypeArgument},
                            {fileName, "file name", kMaxFileNameArgument},
                            {address, "IP address", kMaxAddressArgument},
                            {mode, "fourth", kMaxModeArgument}};
    for (const Limit& limit : limits) {
        if (limit.argument.size() > limit.maximum) {
            // The first over-long argument is named, with its limit.
            std::array<char, 96> reason{};
            (void)std::snprintf(reason.data(), reason.size(), kArgumentTooLongText, limit.name,
                                limit.maximum);
            line.usageReason = reason.data();
            return line;
        }
    }
    line.kind = CommandLine::Kind::Run;
    line.fileTypeArgument = fileType;
    line.fileNameArgument = fileName;
    line.addressArgument = address;
    line.modeArgument = mode;
    line.transferType = TransferTypeForKeyword(fileType);
    net::ParseDottedAddress(address, line.agentOctets);
    line.silent = mode == "silent";
    return line;
}

std::string_view UsageErrorText(const CommandLine& line) {
    return line.usageReason.empty() ? kUsageText : std::string_view(line.usageReason);
}

void DropToolkitLoaderVariables(bool secureExecution) {
    if (!secureExecution) {
        return;
    }
    for (const std::string_view name : kToolkitLoaderVariables) {
        // The names are literals, hence terminated.
        (void)unsetenv(name.data());
    }
}

}  // namespace kalvoran
