#include "tftp/CommandLine.h"

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
    if (fileType.size() > kMaxFileTypeArgument || fileName.size() > kMaxFileNameArgument ||
        address.size() > kMaxAddressArgument || mode.size() > kMaxModeArgument) {
        return line;
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

}  // namespace kalvoran
