// What an operator's password must be: long enough that guessing, slowed as
// the console slows it, cannot get through; not one character repeated or a
// run of them; not one of the passwords people pick most (with digits or
// signs around it); not the name.
#pragma once
#include <string>

inline constexpr size_t MinPasswordCharacters = 12;
inline constexpr size_t MinDistinctCharacters = 5;
inline constexpr size_t MaxPasswordBytes = 1024;

// True when the password may be an operator's; else false with the reason
// (for the operator's command line).
bool AcceptablePassword(const std::string& password, const std::string& operatorName, std::string& reason);
