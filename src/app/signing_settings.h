// The vendor's signing keys and whether an offer must be signed: build
// settings (TREVANTO_SIGNING_KEY_1, TREVANTO_SIGNING_KEY_2,
// TREVANTO_REQUIRE_SIGNATURES), compiled into each executable on its own.
#pragma once

struct SigningSettings {
    // Public keys as base64 of 04 || X || Y; an empty text is an unused slot.
    // A signature by either key is accepted, so a key can be rotated.
    const char* keys[2];
    bool signaturesRequired;
};

const SigningSettings& BuildSigningSettings();
