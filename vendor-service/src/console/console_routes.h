// The fleet console under /panel/ (pages) and /panel/api/ (the same data as
// JSON). Operators log in with a credential made by `operator add`, never
// the agents' key; the session cookie is HttpOnly, Secure and
// SameSite=Strict; every request that changes something carries the
// session's CSRF token; logins are slowed per address, per name from one
// network, and briefly per name (login_limiter.h).
#pragma once
#include <string>

#include "console/login_limiter.h"
#include "http/message.h"

struct ServiceContext;
struct Admission;

bool IsConsolePath(const std::string& path);
Admission AdmitConsole(const ServiceContext& context, const Request& head);
void HandleConsole(ServiceContext& context, const Request& request, Respond respond);

// The value of one cookie in a Cookie header; empty when absent.
std::string CookieValue(const std::string& header, const std::string& name);
