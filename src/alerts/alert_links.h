// Which links of an alert the shell may open. No Win32 here.
#pragma once
#include <string>

// True for an "http://" or "https://" address (the scheme in any letter
// case) with something after it. Anything else (a program's path, a share,
// "file:", "javascript:", another scheme) is never opened: the shell would
// start whatever it names.
bool IsWebLink(const std::string& link);

// The journal line for a link that is not opened.
std::string IgnoredLinkJournalText(const std::string& link);
