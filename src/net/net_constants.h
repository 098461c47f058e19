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

// In-memory URL fetches.
inline constexpr char PackageUserAgent[] = "UrlAct";
inline constexpr char ImageUserAgent[] = "MyApp";
inline constexpr char RtfUserAgent[] = "RTFMod";
inline constexpr unsigned PackageReadChunk = 65536;
inline constexpr unsigned SmallReadChunk = 4096;
