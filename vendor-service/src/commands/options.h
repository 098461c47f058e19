// The operator's command line: a command word, then "--name value" pairs
// (every value of an option given more than once is kept, in order) and
// valueless switches.
#pragma once
#include <map>
#include <string>
#include <vector>

struct CommandLine {
    std::string command;
    std::string subcommand;  // "add" in "release add ...", when the command has one
    std::map<std::string, std::string> options;  // the last value of each
    std::map<std::string, std::vector<std::string>> repeated;
    std::string refused;  // when the line has no such shape: the word it stopped at
};

// False when the line does not have that shape (`refused` names where);
// `switches` take no value.
// A word after the command that is no option is its subcommand.
bool ParseCommandLine(int argc, char** argv, const std::vector<std::string>& switches, CommandLine& line);

std::string Option(const CommandLine& line, const std::string& name, const std::string& fallback);
bool HasOption(const CommandLine& line, const std::string& name);
// Every value an option was given, in order.
std::vector<std::string> Options(const CommandLine& line, const std::string& name);

// A numeric option written in digits only, from min to max; false after
// saying why on standard error ("--port must be a whole number from 1 to
// 65535, not "abc"").
bool NumberOption(const CommandLine& line, const std::string& name, long long fallback, long long min, long long max,
                  long long& value);
