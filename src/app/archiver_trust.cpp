#include "app/archiver_trust.h"

#include "app/archiver_trust_rules.h"
#include "update/package_hash.h"

namespace {

std::string& ExtraDigestForTests() {
    static std::string digest;
    return digest;
}

}  // namespace

bool IsTrustedArchiver(const std::wstring& path, std::string& digestHex) {
    if (!Sha256OfFile(path, digestHex)) return false;
    return IsPinnedDigest(PinnedArchiverDigests(), digestHex) || IsPinnedDigest(ExtraDigestForTests(), digestHex);
}

bool IsTrustedArchiver(const std::wstring& path) {
    std::string digest;
    return IsTrustedArchiver(path, digest);
}

void TrustArchiverDigestForTests(const std::string& digestHex) {
    ExtraDigestForTests() = digestHex;
}
