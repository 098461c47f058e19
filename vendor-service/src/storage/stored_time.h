// Times as the store keeps them and the API shows them:
// "YYYY-MM-DDThh:mm:ssZ", in UTC.
#pragma once
#include <cstdint>
#include <string>

std::string UtcText(int64_t unixSeconds);
std::string UtcNowText();
