#include "agents/checkin_document.h"

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

void PlanOffers(DocumentPlan& plan, const std::vector<std::string>& hosts) {
    const auto items = plan.root.find("alertas");
    if (items == plan.root.end() || !items->is_array()) return;
    for (size_t i = 0; i < items->size(); ++i) {
        const Json& item = (*items)[i];
        if (!item.is_object() || item.value("tipo", Json()) != "url_actualizar") continue;
        const auto cells = item.find("contenido");
        if (cells == item.end() || !cells->is_array()) continue;
        for (size_t j = 0; j < cells->size(); ++j) PlanCell(plan, (*cells)[j], {i, j}, hosts);
    }
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

const std::vector<std::string>& HashesNeeded(const DocumentPlan& plan) {
    return plan.distinct;
}

std::string FinishDocumentWithSlot(const DocumentPlan& plan, const HashResults& hashes, const std::string& slot) {
    if (!plan.root.is_object()) return std::string();
    Json root = plan.root;
    for (size_t i = 0; i < plan.cells.size(); ++i) {
        const auto found = hashes.find(plan.paths[i]);
        if (found == hashes.end() || found->second.empty()) continue;
        root["alertas"][plan.cells[i].first]["contenido"][plan.cells[i].second]["sha256"] = found->second;
    }
    if (!root.contains("alertas") || !root["alertas"].is_array()) root["alertas"] = Json::array();
    root["alertas"].push_back(slot);
    try {
        return root.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string FinishDocument(const DocumentPlan& plan, const HashResults& hashes) {
    Json root;  // copied only when a hash is added: one plan may serve many answers
    bool added = false;
    for (size_t i = 0; i < plan.cells.size(); ++i) {
        const auto found = hashes.find(plan.paths[i]);
        if (found == hashes.end() || found->second.empty()) continue;
        if (!added) root = plan.root;
        added = true;
        root["alertas"][plan.cells[i].first]["contenido"][plan.cells[i].second]["sha256"] = found->second;
    }
    if (!added) return plan.original;
    try {
        return root.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {  // nothing nlohmann parsed should fail to print; serve the original then
        return plan.original;
    }
}
