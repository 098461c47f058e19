#include "net/api_texts.h"

#include "build_settings.h"
#include "net/net_constants.h"

std::string ApiUserAgent() {
    static const std::string userAgent = std::string("Trevanto/") + settings::AgentVersion;
    return userAgent;
}

std::string ApiPostHeaders() {
    return std::string("Content-Type: application/json\r\n") + ApiGetHeaders();
}

std::string ApiGetHeaders() {
    return std::string("Accept: application/json\r\nX-Api-Key: ") + ApiKey + "\r\n";
}

std::string ApiStepErrorText(ApiStep step, bool isPost, unsigned long code) {
    const char* name = "";
    switch (step) {
        case ApiStep::Open:
            name = "InternetOpenA fallo";
            break;
        case ApiStep::Connect:
            name = "InternetConnectA fallo";
            break;
        case ApiStep::OpenRequest:
            name = "HttpOpenRequestA fallo";
            break;
        case ApiStep::Send:
            name = "HttpSendRequestA fallo";
            break;
        case ApiStep::Read:
            name = "InternetReadFile fallo";
            break;
    }
    const bool withCode = isPost || step == ApiStep::Send || step == ApiStep::Read;
    if (!withCode) return name;
    return std::string(name) + " (codigo=" + std::to_string(code) + ")";
}

std::string ApiStatusErrorText(unsigned long status) {
    return "HTTP " + std::to_string(status);
}

bool IsSuccessStatus(unsigned long status) {
    return status >= 200 && status <= 299;
}
