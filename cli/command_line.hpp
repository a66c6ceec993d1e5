#pragma once

// What the command line asks for: blockavg INPUT [BLOCK_LENGTH]

#include <cstdint>
#include <string>
#include <string_view>

namespace blockavg {

inline constexpr std::int32_t defaultBlockLength = 100;

enum class CommandAction { run, showHelp, showVersion, usageError };

struct CommandLine {
    CommandAction action = CommandAction::usageError;
    std::string inputPath;
    std::int32_t blockLength = defaultBlockLength;
    std::string error;  // for usageError
};

// The block length argument, read like a count line: leading white space,
// an optional sign and digits, anything after them ignored. Text that yields
// no 32-bit integer leaves the default.
std::int32_t parseBlockLength(std::string_view text) noexcept;

// Arguments after the second are ignored.
CommandLine parseCommandLine(int argc, const char* const* argv);

std::string usageText();

}  // namespace blockavg
