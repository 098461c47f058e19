// Each operator command's own usage: what it does, every option with its
// default, and an example. `trevanto-servicio release add --help` prints
// it; an option the command does not take is refused with it.
#pragma once
#include <string>
#include <vector>

#include "commands/options.h"

struct OptionHelp {
    const char* name;
    const char* value;     // "" for a switch
    const char* fallback;  // the default, "" when there is none
    const char* meaning;
};

struct CommandHelp {
    const char* command;
    const char* subcommands;  // "add" or "pause|resume|advance|halt"; "" for a command without
    const char* summary;
    std::vector<OptionHelp> options;
    const char* example;
};

// The usage of the line's command and subcommand; nullptr when there is none.
const CommandHelp* FindCommandHelp(const CommandLine& line);

// The text `--help` prints.
std::string CommandUsage(const CommandHelp& help);

// The switches of every command (options without a value).
std::vector<std::string> CommandSwitches();

// False with the first option of the line the command does not take.
bool OnlyKnownOptions(const CommandLine& line, const CommandHelp& help, std::string& unknown);

// Why a line the command line parser refused is wrong, for its command:
// "unknown option --x", "option --x needs a value" or "unexpected argument x".
std::string RefusedWord(const CommandLine& line, const CommandHelp& help);
