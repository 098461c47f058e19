// The fleet console under /panel/ (pages) and /panel/api/ (the same data as
// JSON). Operators log in with a credential made by `operator add`, never
// the agents' key; the session cookie is HttpOnly, Secure and
// SameSite=Strict; every request that changes something carries the
// session's CSRF token; failed logins are slowed per address and per name.
#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "http/message.h"

struct ServiceContext;
struct Admission;

// Failed logins: after `freeFailures`, each new attempt must wait twice as
// long as the one before (1 s, 2 s, 4 s ... up to `maxWaitSeconds`).
class LoginLimiter {
public:
    explicit LoginLimiter(int freeFailures = 5, int firstWaitSeconds = 1, int maxWaitSeconds = 300)
        : freeFailures_(freeFailures), firstWaitSeconds_(firstWaitSeconds), maxWaitSeconds_(maxWaitSeconds) {}

    // Seconds to wait before this key may try again; 0 when it may now.
    int WaitSeconds(const std::string& key, int64_t now);
    void Failed(const std::string& key, int64_t now);
    void Succeeded(const std::string& key);

private:
    struct Record {
        int failures = 0;
        int64_t allowedAt = 0;
    };
    int freeFailures_;
    int firstWaitSeconds_;
    int maxWaitSeconds_;
    std::mutex mutex_;
    std::map<std::string, Record> records_;
};

bool IsConsolePath(const std::string& path);
Admission AdmitConsole(const Request& head);
void HandleConsole(ServiceContext& context, const Request& request, Respond respond);

// The value of one cookie in a Cookie header; empty when absent.
std::string CookieValue(const std::string& header, const std::string& name);
