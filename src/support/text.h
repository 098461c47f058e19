// Conversions between the agent's wide texts (paths, UI) and 8-bit texts
// (journals, HTTP bodies, URLs).
#pragma once
#include <string>

// Keeps the low byte of each wide code unit: U+0000..U+00FF map to the byte
// of the same value, anything else to the low byte of its code.
std::string NarrowLowByte(const std::wstring& wide);

// Widens byte by byte (each byte becomes the code unit of the same value).
std::wstring WidenBytes(const std::string& bytes);

// Decimal text of an unsigned 32-bit value, as journals and error texts write it.
std::string DecimalText(unsigned long value);
