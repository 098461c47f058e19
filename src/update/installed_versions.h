// The highest version this agent installed of each product in its folder,
// kept in the record folder, so that a program without a version resource
// still has a floor no older release may go below. The record's text, one
// "<product>=<version>" line per product; no Win32 here.
#pragma once
#include <string>

inline constexpr wchar_t InstalledVersionsFileName[] = L"versiones_instaladas.txt";
// The record is tiny; anything longer is not read.
inline constexpr size_t InstalledVersionsTextLimit = 4096;

// The version recorded for the product; empty when there is none (or the
// line is not a version).
std::string InstalledVersionOf(const std::string& text, const std::string& product);

// The record with the product's version raised to `version` (never lowered;
// other products' lines kept, lines that are not "<product>=<version>"
// dropped).
std::string WithInstalledVersion(const std::string& text, const std::string& product, const std::string& version);
