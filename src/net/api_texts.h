// Texts of the service API client: user agent, request headers, error texts.
// No Win32 here.
#pragma once
#include <string>

// "Trevanto/" + the agent version, built once (thread-safe) and copied out.
std::string ApiUserAgent();

std::string ApiPostHeaders();
std::string ApiGetHeaders();

// The failing steps of a request, in order.
enum class ApiStep { Open, Connect, OpenRequest, Send, Read };

// The error text of a failed step. POST texts carry the system code for
// every step; GET texts carry it only from the sending step on.
std::string ApiStepErrorText(ApiStep step, bool isPost, unsigned long code);

// "HTTP " + status.
std::string ApiStatusErrorText(unsigned long status);

bool IsSuccessStatus(unsigned long status);
