#include "cli/command_line.hpp"

#include "xmol/xmol_items.hpp"

namespace blockavg {

std::int32_t parseBlockLength(std::string_view text) noexcept {
    LineCursor cursor(text);
    std::int32_t value = defaultBlockLength;
    readIntegerItem(cursor, value);
    return value;
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine command;
    if (argc < 2) {
        command.error = "missing the input trajectory";
        return command;
    }
    const std::string_view first = argv[1];
    if (first == "-h" || first == "--help") {
        command.action = CommandAction::showHelp;
        return command;
    }
    if (first == "--version") {
        command.action = CommandAction::showVersion;
        return command;
    }
    command.inputPath = first;
    if (argc >= 3) {
        command.blockLength = parseBlockLength(argv[2]);
        if (command.blockLength <= 0) {
            command.error =
                "the block length must be at least 1, not " + std::to_string(command.blockLength);
            return command;
        }
    }
    command.action = CommandAction::run;
    return command;
}

std::string usageText() { return "usage: blockavg INPUT [BLOCK_LENGTH]\n"; }

}  // namespace blockavg
