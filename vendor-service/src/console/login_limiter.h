// Failed console logins, slowed down. An attempt is counted before its
// password is checked (so guesses sent at once meet the count of those
// before them), under three keys:
//   - the address (an IPv4 address, an IPv6 /64): a stranger slows down
//     himself on every name;
//   - the name from one network (IPv4 /24, IPv6 /48): long waits, which
//     keep out whoever guesses from there, and nobody else;
//   - the name from anywhere: a slowing that stays short, so that guesses
//     spread over many networks still go slowly while the real operator,
//     from a network of their own, waits a few seconds at most.
// After the free failures of a key, each further attempt waits twice as
// long as the one before, up to that key's longest wait. Keys are digests
// of fixed size; the table holds at most `maxKeys` of them, and a key
// whose wait is running is never dropped to make room (when every key is
// waiting, a new one waits for the first to end).
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

struct LoginRules {
    int freeFailures = 5;  // per address, and per name from one network
    int firstWaitSeconds = 1;
    int maxWaitSeconds = 300;
    int nameFreeFailures = 10;  // per name from anywhere
    int nameMaxWaitSeconds = 4;
    size_t maxKeys = 100000;
    int forgetSeconds = 3600;  // a key with no failure for this long starts again
};

struct LoginKeys {
    std::string address;
    std::string nameFromNetwork;
    std::string name;
};

// The keys of a login attempt: digests, whatever the name's length (the
// name in lower case: letter case makes no other key).
LoginKeys KeysOfLogin(const std::string& name, const std::string& clientAddress);

class LoginLimiter {
public:
    explicit LoginLimiter(const LoginRules& rules = LoginRules()) : rules_(rules) {}

    // An attempt about to be checked: 0 when it may go on (counted as a
    // failure until Succeeded says otherwise), else the seconds it must
    // wait (a refused attempt counts nothing).
    int Begin(const LoginKeys& keys, int64_t now);
    // The attempt's password was right: its keys start again.
    void Succeeded(const LoginKeys& keys);
    size_t Keys();

private:
    struct Record {
        int failures = 0;
        int64_t allowedAt = 0;
        int64_t lastFailure = 0;
    };
    int WaitOf(const std::string& key, int64_t now) const;
    bool MakeRoom(const LoginKeys& keys, size_t needed, int64_t now, int& wait);
    void Count(const std::string& key, int freeFailures, int maxWait, int64_t now);

    LoginRules rules_;
    std::mutex mutex_;
    std::unordered_map<std::string, Record> records_;
};
