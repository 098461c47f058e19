#include "commands/options.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

bool ParseCommandLine(int argc, char** argv, const std::vector<std::string>& switches, CommandLine& line) {
    if (argc < 2) return false;
    line.command = argv[1];
    int first = 2;
    if (argc > 2 && std::string(argv[2]).rfind("--", 0) != 0) line.subcommand = argv[first++];
    for (int i = first; i < argc; ++i) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0 || name.size() == 2) {
            line.refused = name;
            return false;
        }
        const std::string key = name.substr(2);
        if (std::find(switches.begin(), switches.end(), key) != switches.end()) {
            line.options[key] = "1";
            continue;
        }
        if (i + 1 >= argc) {
            line.refused = name;
            return false;
        }
        const std::string value = argv[++i];
        line.repeated[key].push_back(value);
        line.options[key] = value;
    }
    return true;
}

std::string Option(const CommandLine& line, const std::string& name, const std::string& fallback) {
    const auto found = line.options.find(name);
    return found == line.options.end() ? fallback : found->second;
}

bool HasOption(const CommandLine& line, const std::string& name) {
    return line.options.count(name) != 0;
}

std::vector<std::string> Options(const CommandLine& line, const std::string& name) {
    const auto found = line.repeated.find(name);
    return found == line.repeated.end() ? std::vector<std::string>() : found->second;
}

bool NumberOption(const CommandLine& line, const std::string& name, long long fallback, long long min, long long max,
                  long long& value) {
    const auto found = line.options.find(name);
    if (found == line.options.end()) {
        value = fallback;
        return true;
    }
    const std::string& text = found->second;
    if (!text.empty() && text.size() <= 15 && text.find_first_not_of("0123456789") == std::string::npos) {
        value = std::strtoll(text.c_str(), nullptr, 10);
        if (value >= min && value <= max) return true;
    }
    std::cerr << "--" << name << " must be a whole number from " << min << " to " << max << ", not \"" << text
              << "\"\n";
    return false;
}
