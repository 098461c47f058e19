// Compiled once per executable, so that a build (or a test variant) can
// require signatures without the rest of the agent being built again. The
// archiver's pinned digests live here too, beside the keys.
#include "app/signing_settings.h"

#include "app/archiver_trust.h"

#include "signing_keys.h"

#ifndef TREVANTO_REQUIRE_SIGNATURES
#define TREVANTO_REQUIRE_SIGNATURES TREVANTO_REQUIRE_SIGNATURES_SETTING
#endif

const SigningSettings& BuildSigningSettings() {
    static const SigningSettings settings = {{TREVANTO_SIGNING_KEY_1, TREVANTO_SIGNING_KEY_2},
                                             TREVANTO_REQUIRE_SIGNATURES != 0};
    return settings;
}

const char* PinnedArchiverDigests() {
    return TREVANTO_ARCHIVER_SHA256;
}
