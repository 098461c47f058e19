// Constants of the network layer: user agents and flags shared by its calls.
#pragma once

inline constexpr wchar_t DownloaderUserAgent[] = L"Trevanto-Downloader";
