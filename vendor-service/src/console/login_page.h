// The login page: the form, its own CSRF token, and the page asked for
// before the login (where the operator goes after it).
#pragma once
#include <string>

std::string LoginPage(const std::string& csrf, const std::string& message, const std::string& returnTo);
