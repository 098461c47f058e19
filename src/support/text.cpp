#include "support/text.h"

std::string NarrowLowByte(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t unit : wide) out.push_back(static_cast<char>(static_cast<unsigned>(unit) & 0xFFu));
    return out;
}

std::wstring WidenBytes(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (char byte : bytes) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
    return out;
}

std::string DecimalText(unsigned long value) {
    return std::to_string(value);
}
