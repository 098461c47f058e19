#include "agents/checkin_document.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "agents/contract.h"
#include "http/message.h"

struct DocumentPlan {  // NOLINT(bugprone-exception-escape): nlohmann's json moves without throwing
    std::string original;
    nlohmann::ordered_json root;  // members in the vendor's order
    // Cells that need a hash, as (item, cell) places in root["alertas"],
    // and their request paths in the same order.
    std::vector<std::pair<size_t, size_t>> cells;
    std::vector<std::string> paths;
    std::vector<std::string> distinct;   // each path once
    // Cells of "documento_rtf" items whose "enlace" names a file served here:
    // each answer ties their address to its installation (a token).
    std::vector<std::pair<size_t, size_t>> documents;
};

namespace {

using Json = nlohmann::ordered_json;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void PlanCell(DocumentPlan& plan, const Json& cell, std::pair<size_t, size_t> place,
              const std::vector<std::string>& hosts) {
    if (!cell.is_object() || cell.contains("sha256")) return;
    const auto link = cell.find("enlace");
    std::string path;
    if (link == cell.end() || !link->is_string() || !LinkPathOnHosts(link->get<std::string>(), hosts, path) ||
        !contract::IsSafeStaticPath(path)) {
        return;
    }
    plan.cells.push_back(place);
    plan.paths.push_back(path);
    bool seen = false;
    for (const std::string& known : plan.distinct) seen = seen || known == path;
    if (!seen) plan.distinct.push_back(path);
}

// The agent shows an RTF item's first cell; its acceptance names that address.
void PlanDocumentCell(DocumentPlan& plan, const Json& cells, size_t item, const std::vector<std::string>& hosts) {
    if (cells.empty() || !cells[0].is_object()) return;
    const auto link = cells[0].find("enlace");
    std::string path;
    if (link != cells[0].end() && link->is_string() && LinkPathOnHosts(link->get<std::string>(), hosts, path) &&
        contract::IsSafeStaticPath(path)) {
        plan.documents.emplace_back(item, 0);
    }
}

void PlanOffers(DocumentPlan& plan, const std::vector<std::string>& hosts) {
    const auto items = plan.root.find("alertas");
    if (items == plan.root.end() || !items->is_array()) return;
    for (size_t i = 0; i < items->size(); ++i) {
        const Json& item = (*items)[i];
        if (!item.is_object()) continue;
        const Json kind = item.value("tipo", Json());
        const auto cells = item.find("contenido");
        if (cells == item.end() || !cells->is_array()) continue;
        if (kind == "documento_rtf") PlanDocumentCell(plan, *cells, i, hosts);
        if (kind != "url_actualizar") continue;
        for (size_t j = 0; j < cells->size(); ++j) PlanCell(plan, (*cells)[j], {i, j}, hosts);
    }
}

// The hashes added, and each served document's address marked for its token.
bool Complete(const DocumentPlan& plan, const HashResults& hashes, Json& root) {
    bool added = false;
    for (size_t i = 0; i < plan.cells.size(); ++i) {
        const auto found = hashes.find(plan.paths[i]);
        if (found == hashes.end() || found->second.empty()) continue;
        root["alertas"][plan.cells[i].first]["contenido"][plan.cells[i].second]["sha256"] = found->second;
        added = true;
    }
    for (const auto& [item, cell] : plan.documents) {
        Json& link = root["alertas"][item]["contenido"][cell]["enlace"];
        link = WithQueryValue(link.get<std::string>(), "a", AcceptanceSlotValue);
        added = true;
    }
    return added;
}

}  // namespace

bool LinkPathOnHosts(const std::string& link, const std::vector<std::string>& hosts, std::string& path) {
    const std::string scheme = "https://";
    if (Lower(link.substr(0, scheme.size())) != scheme) return false;
    const size_t slash = link.find('/', scheme.size());
    if (slash == std::string::npos) return false;
    const std::string host = Lower(link.substr(scheme.size(), slash - scheme.size()));
    bool known = false;
    for (const std::string& name : hosts) known = known || (!name.empty() && Lower(name) == host);
    if (!known) return false;
    const std::string rest = link.substr(slash);
    return DecodePercent(rest.substr(0, rest.find_first_of("?#")), path);
}

std::shared_ptr<DocumentPlan> PlanDocument(const std::string& document, const std::vector<std::string>& hosts) {
    auto plan = std::make_shared<DocumentPlan>();
    plan->original = document;
    plan->root = Json::parse(document, nullptr, false);
    if (plan->root.is_object()) PlanOffers(*plan, hosts);
    return plan;
}

bool MarksDocuments(const DocumentPlan& plan) {
    return !plan.documents.empty();
}

const std::vector<std::string>& HashesNeeded(const DocumentPlan& plan) {
    return plan.distinct;
}

std::string FinishDocumentWithSlot(const DocumentPlan& plan, const HashResults& hashes, const std::string& slot) {
    if (!plan.root.is_object()) return std::string();
    Json root = plan.root;
    Complete(plan, hashes, root);
    if (!root.contains("alertas") || !root["alertas"].is_array()) root["alertas"] = Json::array();
    root["alertas"].push_back(slot);
    try {
        return root.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string FinishDocument(const DocumentPlan& plan, const HashResults& hashes) {
    if (plan.documents.empty() &&
        std::none_of(plan.paths.begin(), plan.paths.end(), [&hashes](const std::string& path) {
            const auto found = hashes.find(path);
            return found != hashes.end() && !found->second.empty();
        })) {
        return plan.original;  // one plan may serve many answers: copied only when something is added
    }
    Json root = plan.root;
    Complete(plan, hashes, root);
    try {
        return root.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {  // nothing nlohmann parsed should fail to print; serve the original then
        return plan.original;
    }
}
