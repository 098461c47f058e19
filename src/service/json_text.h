// Hand-built JSON texts. No Win32 here.
#pragma once
#include <string>

// Escapes a string value (without the surrounding quotes): quote, backslash
// and control bytes; bytes from 0x20 up, UTF-8 sequences included, pass.
std::string JsonEscape(const std::string& text);
