#include "routes/static_files.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "agents/served_files.h"
#include "http/byte_range.h"

namespace {

std::string ContentTypeOf(const std::string& path) {
    const size_t dot = path.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : path.substr(dot + 1);
    if (extension == "png") return "image/png";
    if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
    if (extension == "gif") return "image/gif";
    if (extension == "rtf") return "application/rtf";
    if (extension == "zip") return "application/zip";
    return "application/octet-stream";
}

}  // namespace

std::string EntityTag(const struct stat& info) {
    char tag[96];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(info.st_ino),
                  static_cast<unsigned long long>(info.st_size),
                  static_cast<unsigned long long>(info.st_mtim.tv_sec) * 1000000000ULL +
                      static_cast<unsigned long long>(info.st_mtim.tv_nsec));
    return tag;
}

std::string HttpDate(time_t time) {
    std::tm utc = {};
    gmtime_r(&time, &utc);
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday % 7], utc.tm_mday,
                  months[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

bool IfRangeMatches(const std::string& ifRange, const std::string& entityTag, const std::string& lastModified) {
    if (ifRange.empty()) return true;
    if (ifRange[0] == '"' || ifRange.rfind("W/", 0) == 0) return ifRange == entityTag;  // weak tags never match
    return ifRange == lastModified;
}

Response ServeStaticFile(const DataFolder& data, const Request& request) {
    auto file = std::make_shared<OpenFile>(OpenServedFile(data, request.path));
    struct stat info = {};
    if (file->fd < 0 || fstat(file->fd, &info) != 0) return ErrorResponse(404, "no encontrado");
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const std::string tag = EntityTag(info);
    const std::string modified = HttpDate(info.st_mtim.tv_sec);
    std::string range = HeaderValue(request.headers, "Range");
    // A client resuming a file that has since changed gets the whole new one.
    if (!IfRangeMatches(HeaderValue(request.headers, "If-Range"), tag, modified)) range.clear();
    const RangeDecision decision = DecideRange(range, size);
    if (decision.status == 416) {
        Response response = ErrorResponse(416, "rango no disponible");
        response.headers.push_back({"Content-Range", decision.contentRange});
        return response;
    }
    Response response;
    response.status = decision.status;
    response.headers = {{"Content-Type", ContentTypeOf(request.path)},
                        {"Accept-Ranges", "bytes"},
                        {"ETag", tag},
                        {"Last-Modified", modified}};
    if (decision.status == 206) response.headers.push_back({"Content-Range", decision.contentRange});
    response.file = std::move(file);
    response.fileSize = size;
    response.fileOffset = decision.status == 206 ? decision.first : 0;
    response.fileLength = decision.status == 206 ? decision.last - decision.first + 1 : size;
    return response;
}
