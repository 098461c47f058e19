// The service's HTTP routes, on any httplib server (TLS in production).
#pragma once
#include <httplib.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "data_folder.h"
#include "file_hashes.h"
#include "report_store.h"
#include "service_settings.h"

struct ServiceContext {
    DataFolder data;
    ReportStore* store = nullptr;
    std::string apiKey;
    std::string checkInPath;
    // The vendor's host names: update offers linking to a file served here
    // under one of them get its SHA-256.
    std::vector<std::string> hosts = {service_settings::ApiHost, service_settings::DownloadHost,
                                      service_settings::ImageHost};
    std::shared_ptr<FileHashCache> hashes = std::make_shared<FileHashCache>();
    std::function<void(const std::string&)> log;  // one line per request
};

void RegisterRoutes(httplib::Server& server, ServiceContext& context);

// Current UTC time as "YYYY-MM-DDThh:mm:ssZ".
std::string UtcNowText();
