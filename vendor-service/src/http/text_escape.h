// Text that strangers sent, made safe to print. Agents choose their host
// names, paths and messages, so nothing of theirs reaches a log or a
// terminal as raw bytes: no escape sequences, no bare carriage returns, no
// line breaks that start a forged line.
#pragma once
#include <string>

// For one value of a log line: printable ASCII other than blank, '"' and
// '\' is kept; every other byte becomes \xHH. The result has no blanks, so
// a log line splits at blanks.
std::string EscapeLogValue(const std::string& text);

// For an operator's terminal: printable ASCII and well-formed UTF-8 are
// kept; control characters (C0, DEL, C1), bytes that are not well-formed
// UTF-8, and the Unicode controls that reorder or break lines (U+2028,
// U+2029, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) become \xHH
// or \u{HHHH}; '\' becomes "\\".
std::string EscapeForTerminal(const std::string& text);

// Bytes as lower-case hexadecimal digits, two per byte.
std::string LowerHex(const unsigned char* bytes, size_t size);
