// The start-up status exchange with the vendor's service.
#pragma once
#include <string>

inline constexpr wchar_t ReceivedTextName[] = L"recibido.txt";
inline constexpr wchar_t ReceivedJsonName[] = L"recibido.json";

// Posts the installation descriptor and stores the answer (or an error
// object) as recibido.txt and recibido.json in the record folder. True when
// recibido.json now holds this answer; false when nothing was posted or the
// answer could not be stored (an earlier recibido.json may then remain).
bool CheckIn();

// True when the folder exists afterwards (created with its parents as needed).
bool EnsureFolder(const std::wstring& folder);

// Sends the descriptor to the check-in path; returns the text to store.
std::string PostDescriptor(const std::string& descriptor);
