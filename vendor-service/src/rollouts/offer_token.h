// The token that ties a download and an update report to one offer: the
// installation and the rollout it was offered, signed by the service. It
// travels as the query "o=<token>" of the package address; the agent drops
// the query when it names the file, sends it with the download, and
// returns the whole address in the report's "url_parche".
#pragma once
#include <string>

// "<installation id>-<rollout id>-<24 hex digits of HMAC-SHA256>".
std::string OfferToken(const std::string& secret, const std::string& installationId, long long rolloutId);

// True when the token is well formed and its signature is the service's.
bool ReadOfferToken(const std::string& secret, const std::string& token, std::string& installationId,
                    long long& rolloutId);

// The package address with "?o=<token>" (or "&o=" after a query of its own).
std::string WithOfferToken(const std::string& url, const std::string& token);

// The value of the "o" query parameter of an address; empty when none.
std::string OfferTokenOfUrl(const std::string& url);

// The token that ties an accepted document (an RTF item's address on the
// vendor's hosts, as the check-in answer gave it to one installation) to
// that installation: "<installation id>-<24 hex digits of HMAC-SHA256>".
// It travels as the query "a=<token>" and comes back in the acceptance
// report's "rtf_url".
std::string AcceptanceToken(const std::string& secret, const std::string& installationId);
bool ReadAcceptanceToken(const std::string& secret, const std::string& token, std::string& installationId);

// An installation as the service knows it: HMAC-SHA256 of its product key,
// host name and installed path (host and path in lower case; the client
// address stands in for a member that is missing), 32 hex digits.
std::string InstallationId(const std::string& secret, const std::string& product, const std::string& hostname,
                           const std::string& installedPath, const std::string& clientAddress);

// A new random secret (32 bytes as hex); empty when the system has no randomness.
std::string NewSecret();
