#include "update/signature_rules.h"
#include "support/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Decoded(const std::string& text) {
    std::vector<unsigned char> bytes;
    if (!DecodeBase64(text, bytes)) return "<refused>";
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(SignatureRules, Base64IsStrict) {
    // RFC 4648's vectors, and what must be refused rather than guessed at.
    EXPECT_EQ(Decoded(""), "");
    EXPECT_EQ(Decoded("Zg=="), "f");
    EXPECT_EQ(Decoded("Zm8="), "fo");
    EXPECT_EQ(Decoded("Zm9v"), "foo");
    EXPECT_EQ(Decoded("Zm9vYmFy"), "foobar");
    EXPECT_EQ(Decoded("+/+/"), "\xfb\xff\xbf");
    for (const char* bad : {"Zg", "Zg=", "Zm9", "Zh==", "Zm9=", "Zg==Zg==", "Z===", "====", "Zm 9v", "Zm9v\n",
                            "Zm-_", "Zm9v====", "=Zm9"}) {
        EXPECT_EQ(Decoded(bad), "<refused>") << bad;
    }
}

TEST(SignatureRules, SignatureKeyAndDigestTexts) {
    SignatureBytes signature{};
    ASSERT_TRUE(ParseSignatureText("AQID" + std::string(80, 'A') + "BA==", signature));
    EXPECT_EQ(signature[0], 1);
    EXPECT_EQ(signature[2], 3);
    EXPECT_EQ(signature[63], 4);
    EXPECT_FALSE(ParseSignatureText(std::string(85, 'A') + "B==", signature));  // bits left over
    EXPECT_FALSE(ParseSignatureText(std::string(84, 'A'), signature));     // 63 bytes
    EXPECT_FALSE(ParseSignatureText(std::string(88, 'A'), signature));     // 66 bytes
    EXPECT_FALSE(ParseSignatureText("NO_ES_TEXTO", signature));

    PublicPoint point{};
    const std::string key = "BAwu/uyB0vsdpP6EDRrrUa+7SWmDT8dH18MvWIvjGA+8EHYwugFp9i+baGtoYyEw+JpX7fh7tsuBF/gMekM/bbk=";
    ASSERT_TRUE(ParsePublicKeyText(key, point));
    EXPECT_EQ(point[0], 0x0c);
    EXPECT_EQ(point[63], 0xb9);
    EXPECT_FALSE(ParsePublicKeyText("Aw" + key.substr(2), point));  // not 04 in front
    EXPECT_FALSE(ParsePublicKeyText(std::string(86, 'A') + "==", point));  // X || Y without 04
    EXPECT_FALSE(ParsePublicKeyText("", point));

    DigestBytes digest{};
    ASSERT_TRUE(ParseDigestHex("7E5f5ca3fe2390075b4777bca5aeea21703701c58e23cb8ae552699c34c4402f", digest));
    EXPECT_EQ(digest[0], 0x7e);
    EXPECT_EQ(digest[1], 0x5f);
    EXPECT_EQ(digest[31], 0x2f);
    EXPECT_FALSE(ParseDigestHex("7e5f", digest));
    EXPECT_FALSE(ParseDigestHex(std::string(63, '0') + "g", digest));
    EXPECT_FALSE(ParseDigestHex("", digest));  // a provider failure leaves no digest
}

TEST(SignatureRules, WhatABuildDoesWithAnOffer) {
    using V = OfferVerification;
    // keys, required, statement, signature
    EXPECT_EQ(OfferVerificationFor(false, false, true, true), V::None);
    EXPECT_EQ(OfferVerificationFor(false, true, false, false), V::None);
    EXPECT_EQ(OfferVerificationFor(true, false, false, false), V::None);
    EXPECT_EQ(OfferVerificationFor(true, false, false, true), V::VerifySignature);
    EXPECT_EQ(OfferVerificationFor(true, false, true, true), V::VerifyStatement);
    EXPECT_EQ(OfferVerificationFor(true, true, true, false), V::VerifyStatement);
    EXPECT_EQ(OfferVerificationFor(true, true, false, true), V::RefuseMissing);  // a bare signature is not enough
    EXPECT_EQ(OfferVerificationFor(true, true, false, false), V::RefuseMissing);
}
