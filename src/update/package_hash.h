// SHA-256 of an update package through the system's BCrypt provider, taken
// as the package's bytes arrive.
#pragma once
#include <windows.h>
#include <bcrypt.h>

#include <cstddef>
#include <string>
#include <vector>

#include "net/url_fetch.h"

// A SHA-256 fed piece by piece. A failure of the provider at any point makes
// the digest come out empty (which matches no expected value).
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void Add(const unsigned char* bytes, std::size_t count);
    // Forgets everything added so far.
    void Restart();
    // The digest of what was added since the start or the last restart, as
    // lower-case hex; false (hex empty) when the provider failed.
    bool Finish(std::string& hex);

private:
    void Close();
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    bool ok_ = false;
};

// The digest of a buffer as lower-case hex in `hex`; false (hex empty) when
// the system provider could not compute it.
bool Sha256Hex(const std::vector<unsigned char>& bytes, std::string& hex);

// The digest of a file's bytes as lower-case hex; false (hex empty) when
// the file cannot be read or the provider could not hash.
bool Sha256OfFile(const std::wstring& path, std::string& hex);

// The package fetch of DownloadUrlBytes_URL (resumed the same way) with the
// SHA-256 taken as the bytes arrive, so that nothing is left to hash once
// the last byte is in: `hex` is the digest of the body returned (empty when
// the fetch failed or the provider could not hash).
bool FetchPackageHashed(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode,
                        PackageFetchOptions options, std::string& hex);
