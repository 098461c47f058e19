// The service's HTTP routes, on any httplib server (TLS in production).
#pragma once
#include <httplib.h>

#include <functional>
#include <string>

#include "data_folder.h"
#include "report_store.h"

struct ServiceContext {
    DataFolder data;
    ReportStore* store = nullptr;
    std::string apiKey;
    std::string checkInPath;
    std::function<void(const std::string&)> log;  // one line per request
};

void RegisterRoutes(httplib::Server& server, ServiceContext& context);

// Current UTC time as "YYYY-MM-DDThh:mm:ssZ".
std::string UtcNowText();
