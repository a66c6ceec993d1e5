#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/shown_name.hpp"

namespace blockavg {
namespace {

CommandLine parsed(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"blockavg"};
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, ReadsTheInputAndTheBlockLength) {
    const struct {
        std::vector<std::string> arguments;
        CommandAction action;
        std::int32_t blockLength;
    } cases[] = {
        {{"in.xyz"}, CommandAction::run, 100},
        {{"in.xyz", "25"}, CommandAction::run, 25},
        {{"in.xyz", "25x"}, CommandAction::run, 25},
        {{"in.xyz", " +7"}, CommandAction::run, 7},
        {{"in.xyz", "1", "ignored"}, CommandAction::run, 1},
        {{"in.xyz", "abc"}, CommandAction::run, 100},
        {{"in.xyz", ""}, CommandAction::run, 100},
        {{"in.xyz", "2147483647"}, CommandAction::run, 2147483647},
        {{"in.xyz", "2147483648"}, CommandAction::run, 100},
        {{"in.xyz", "99999999999"}, CommandAction::run, 100},
        {{"-", "3"}, CommandAction::run, 3},
        {{"in.xyz", "0"}, CommandAction::usageError, 0},
        {{"in.xyz", "-3"}, CommandAction::usageError, -3},
        {{"in.xyz", "-0"}, CommandAction::usageError, 0},
        {{}, CommandAction::usageError, 100},
        {{"-h"}, CommandAction::showHelp, 100},
        {{"--help", "5"}, CommandAction::showHelp, 100},
        {{"--version"}, CommandAction::showVersion, 100},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& argument : c.arguments) {
            shown += " [" + argument + "]";
        }
        SCOPED_TRACE("arguments:" + shown);
        const CommandLine command = parsed(c.arguments);
        EXPECT_EQ(command.action, c.action);
        EXPECT_EQ(command.blockLength, c.blockLength);
        EXPECT_EQ(command.error.empty(), c.action != CommandAction::usageError);
        if (c.action == CommandAction::run) {
            EXPECT_EQ(command.inputPath, c.arguments[0]);
        }
    }
}

// Messages show a name as it is unless it holds control characters, and
// quote it as the shell does; a command they offer takes it as one word.
TEST(ShownName, EscapesControlCharactersAndMakesOneShellWordOfAnyName) {
    const struct {
        std::string name;
        const char* shown;
        const char* word;
    } cases[] = {
        {"run.xyz", "run.xyz", "run.xyz"},
        {"run-1/out_2.xyz.lz4", "run-1/out_2.xyz.lz4", "run-1/out_2.xyz.lz4"},
        {"my run's.xyz", "my run's.xyz", "'my run'\\''s.xyz'"},
        {"caf\xc3\xa9.xyz", "caf\xc3\xa9.xyz", "'caf\xc3\xa9.xyz'"},
        {"it's$HOME", "it's$HOME", "'it'\\''s$HOME'"},
        {"-n.lz4", "-n.lz4", "./-n.lz4"},
        {"-a b", "-a b", "./'-a b'"},
        {"a\nb", "'a'$'\\n''b'", "'a'$'\\n''b'"},
        {"\x1b[2J", "$'\\033''[2J'", "$'\\033''[2J'"},
        {"it's\t", "'it'\\''s'$'\\t'", "'it'\\''s'$'\\t'"},
        {std::string("x\0\r\x7f", 4), "'x'$'\\000\\r\\177'", "'x'$'\\000\\r\\177'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shownName(c.name), c.shown);
        EXPECT_EQ(shellWord(c.name), c.word);
    }
}

}  // namespace
}  // namespace blockavg
