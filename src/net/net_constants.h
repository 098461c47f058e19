// Constants of the network layer: user agents, API key, time-outs, flags.
#pragma once

// File downloads (DownloadToFile).
inline constexpr wchar_t DownloaderUserAgent[] = L"Trevanto-Downloader";

// Service API client.
inline constexpr char ApiKey[] = "qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-";
inline constexpr unsigned short ApiPort = 443;
inline constexpr unsigned long ApiConnectTimeoutMs = 10000;
inline constexpr unsigned long ApiSendTimeoutMs = 30000;
inline constexpr unsigned long ApiReceiveTimeoutMs = 30000;
inline constexpr unsigned long ApiIgnoredCertificateFlags = 0x2800;  // IGNORE_CERT_DATE_INVALID | 0x0800
inline constexpr unsigned ApiReadBufferSize = 4096;
// No answer of the service is longer (the check-in's notification document
// is the longest by far); a longer one fails as a failed read does.
inline constexpr unsigned long ApiAnswerLimit = 16ul << 20;

// In-memory URL fetches.
inline constexpr char PackageUserAgent[] = "UrlAct";
inline constexpr char ImageUserAgent[] = "MyApp";
inline constexpr char RtfUserAgent[] = "RTFMod";
inline constexpr unsigned PackageReadChunk = 65536;
inline constexpr unsigned SmallReadChunk = 4096;
// Bodies longer than these fail the fetch (nothing is kept); a package is
// bounded by its Content-Length and the memory it can have.
inline constexpr unsigned long ImageBodyLimit = 32ul << 20;
inline constexpr unsigned long RtfBodyLimit = 16ul << 20;
