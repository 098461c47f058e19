// JSON requests to the vendor's service API over HTTPS.
#pragma once
#include <string>

// POSTs the body byte for byte to the API host's object path. True for a
// status of 200..299. The response body is returned whatever the status;
// on failure errorText says which step failed, or "HTTP <status>".
bool ApiPostJson(const std::string& objectPath, const std::string& jsonBody, std::string& responseBody,
                 std::string& errorText);

// The same as a body-less GET.
bool ApiGetJson(const std::string& objectPathWithQuery, std::string& responseBody, std::string& errorText);
