// The system's ECDSA P-256 verification as the agent calls it (under Wine,
// Wine's BCrypt), on a fixed vector: a 1,000,000-byte file's SHA-256 signed
// by a throwaway key whose private half was not kept.
#include <gtest/gtest.h>

#include <string>

#include "update/package_signature.h"

namespace {

const char Key[] = "BAwu/uyB0vsdpP6EDRrrUa+7SWmDT8dH18MvWIvjGA+8EHYwugFp9i+baGtoYyEw+JpX7fh7tsuBF/gMekM/bbk=";
const char OtherKey[] = "BIt9BYC1B0VNjMqDGbf3edhbJ3Uukhr9YpsQ2yJ04FSa2b1zYi0N9MR/ka8nVhkzSmMIgL9BHO6EaSd6xZ6cHVE=";
const char Digest[] = "7e5f5ca3fe2390075b4777bca5aeea21703701c58e23cb8ae552699c34c4402f";
const char Signature[] = "lDrs47kJu+hMQYvyYtWHWF3knDDueHJXuGdMEnDRsM4s9EKk+PuyOEaK1bGZ+gOFCnQ/EzHoShtnf1Iyu/9LHQ==";

std::string Altered(std::string text, size_t at) {
    text[at] = text[at] == 'A' ? 'B' : 'A';
    return text;
}

}  // namespace

TEST(PackageSignature, EitherSlotVerifiesAndNothingElseDoes) {
    const SigningSettings first = {{Key, OtherKey}, false};
    const SigningSettings second = {{OtherKey, Key}, false};
    const SigningSettings neither = {{OtherKey, ""}, false};
    const SigningSettings none = {{"", ""}, true};
    EXPECT_TRUE(BuildHasSigningKeys(first));
    EXPECT_TRUE(BuildHasSigningKeys(neither));
    EXPECT_FALSE(BuildHasSigningKeys(none));

    EXPECT_EQ(VerifyingKeySlot(first, Digest, Signature), 1);
    EXPECT_EQ(VerifyingKeySlot(second, Digest, Signature), 2);
    EXPECT_EQ(VerifyingKeySlot(neither, Digest, Signature), 0);
    EXPECT_EQ(VerifyingKeySlot(none, Digest, Signature), 0);
    // One bit of the digest (the package), of r or of s.
    EXPECT_EQ(VerifyingKeySlot(first, "fe5f5ca3fe2390075b4777bca5aeea21703701c58e23cb8ae552699c34c4402f", Signature), 0);
    EXPECT_EQ(VerifyingKeySlot(first, Digest, Altered(Signature, 5)), 0);
    EXPECT_EQ(VerifyingKeySlot(first, Digest, Altered(Signature, 60)), 0);
    // Malformed signatures and a digest the provider did not make.
    for (const std::string& bad : {std::string(), std::string("NO_ES_TEXTO"), std::string(Signature).substr(0, 84),
                                   std::string(Signature) + "AAAA", std::string(88, 'A')}) {
        EXPECT_EQ(VerifyingKeySlot(first, Digest, bad), 0) << bad;
    }
    EXPECT_EQ(VerifyingKeySlot(first, "", Signature), 0);
    // A key that is not a point of the curve (the import takes it under
    // Wine; the verification must still fail) and a malformed key text.
    const std::string offCurve = Altered(Key, 20);
    const SigningSettings broken = {{offCurve.c_str(), "nada"}, false};
    EXPECT_EQ(VerifyingKeySlot(broken, Digest, Signature), 0);
}
