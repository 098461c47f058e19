// SHA-256 of a package held in memory, through the system's BCrypt provider.
#pragma once
#include <string>
#include <vector>

// The digest as lower-case hex in `hex`; false (hex empty) when the system
// provider could not compute it.
bool Sha256Hex(const std::vector<unsigned char>& bytes, std::string& hex);
