#include "console/package_upload.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "console/console_routes.h"
#include "console/accounts.h"
#include "storage/audit_store.h"

namespace {

std::string UploadFolder(const ServiceContext& context) {
    return context.data.root + "/" + package_upload::Folder;
}

Admission Refused(int status, const std::string& text) {
    Admission admission;
    admission.refused = true;
    admission.refusal = ErrorResponse(status, text);
    admission.refusal.closeConnection = true;
    return admission;
}

}  // namespace

bool IsPackageName(const std::string& name) {
    if (name.empty() || name.size() > package_upload::MaxNameBytes || name[0] == '.') return false;
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

Admission AdmitUpload(const ServiceContext& context, const Request& head) {
    // Where anyone on the agents' network may send bodies, none is written to disk.
    if (context.servesAgents) return Refused(403, "los paquetes se suben solo en la dirección propia del panel (--panel-port)");
    const std::string cookie = CookieValue(HeaderValue(head.headers, "Cookie"), "panel_sesion");
    if (cookie.empty() && HeaderValue(head.headers, "Authorization").rfind("Bearer ", 0) != 0) {
        return Refused(401, "inicie sesión en /panel/api/entrar");
    }
    std::error_code error;
    const std::string folder = UploadFolder(context);
    std::filesystem::create_directories(folder, error);
    int inProgress = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        (void)entry;
        ++inProgress;
    }
    if (error || inProgress >= package_upload::AtOnce) {
        Admission busy = Refused(503, "ya hay subidas en curso; inténtelo de nuevo");
        busy.refusal.headers.push_back({"Retry-After", "30"});
        return busy;
    }
    Admission admission;
    admission.readBody = true;
    admission.maxBodyBytes = context.uploadMaxBytes;
    admission.bodyFile = folder + "/" + RandomToken() + ".part";
    return admission;
}

bool RouteUpload(const CallPtr& call, const Database& db) {
    Call& c = *call;
    if (!c.api || c.path != "/paquetes") return false;
    if (c.request.method != "POST" || c.request.bodyFile.empty()) {
        Trouble(c, 405, "envíe el paquete en el cuerpo de un POST");
        return true;
    }
    if (!Allowed(c, Permission::Publish)) return true;
    const std::string name = QueryValue(c.request.query, "nombre");
    if (!IsPackageName(name)) {
        Trouble(c, 400, "«nombre» debe ser un nombre de archivo: letras, cifras, «.», «_» y «-»");
        return true;
    }
    const std::string published = c.context->data.root + "/archivos/paquetes/" + name;
    std::error_code error;
    std::filesystem::create_directories(c.context->data.root + "/archivos/paquetes", error);
    // A link never replaces a file that is there; the upload's own name goes after.
    if (::link(c.request.bodyFile.c_str(), published.c_str()) != 0) {
        Trouble(c, errno == EEXIST ? 409 : 500,
                errno == EEXIST ? "ya hay un paquete con ese nombre" : "no se pudo publicar el paquete");
        return true;
    }
    ::unlink(c.request.bodyFile.c_str());
    const std::string detail = "paquetes/" + name + " (" + std::to_string(c.request.bodyFileBytes) + " bytes, SHA-256 " +
                               c.request.bodyFileSha256 + ")";
    RecordAudit(db, {c.viewer.name, audit_action::PackageUploaded, "paquetes/" + name, detail}, std::time(nullptr));
    const nlohmann::ordered_json answer = {{"ok", true},
                                           {"archivo", "paquetes/" + name},
                                           {"bytes", c.request.bodyFileBytes},
                                           {"sha256", c.request.bodyFileSha256}};
    c.respond(JsonAnswer(200, answer.dump()));
    return true;
}
