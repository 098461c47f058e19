// One POST of an event to a receiver, over HTTPS (the receiver's
// certificate checked against the system's authorities and its name) or
// plain HTTP, with a deadline on the whole exchange, and the HMAC that
// signs the body.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "http/message.h"

struct ReceiverAddress {
    bool tls = true;
    std::string host;
    std::string port;
    std::string target;  // path and query
};

// "https://host[:port]/path?query" into its parts; false with the reason.
bool ParseReceiverUrl(const std::string& url, ReceiverAddress& address, std::string& error);

// "sha256=" and the HMAC-SHA256 of the body with the secret, in lower-case hex.
std::string WebhookSignature(const std::string& secret, const std::string& body);

struct ReceiverAnswer {
    int status = 0;     // 0: no answer came
    std::string error;  // why, when there is no 2xx answer
};

// Posts the body; gives up after `timeoutMs`, or as soon as `stopping` says so.
ReceiverAnswer PostToReceiver(const std::string& url, const std::vector<HeaderField>& headers, const std::string& body,
                              int timeoutMs, const std::function<bool()>& stopping);
