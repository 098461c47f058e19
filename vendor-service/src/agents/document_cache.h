// The check-in's answer is the same for every agent of a product until its
// document or a package it offers changes: read and parse each document
// once per version of its file, and compose the answer once per set of
// package hashes.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agents/checkin_document.h"
#include "agents/data_folder.h"
#include "agents/served_files.h"

struct CachedDocument {
    FileIdentity identity;  // of the file read; all zero for the built-in document
    std::shared_ptr<DocumentPlan> plan;
    std::mutex mutex;  // guards the last answer
    HashResults lastHashes;
    std::string lastAnswer;
    std::string lastWithSlot;  // the same with a place for one more item, or empty when there is none
    bool answered = false;
};

class DocumentCache {
public:
    // The document a product's agents are sent, planned.
    std::shared_ptr<CachedDocument> For(const DataFolder& data, const std::string& productKey,
                                        const std::vector<std::string>& hosts);

private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<CachedDocument>> byPath_;
};

// The answer with these hashes: composed again only when they changed.
// With `extraItem` (the JSON text of one alert item), the item is added at
// the end of "alertas" (made when the document has none); a document that
// is not a JSON object cannot take it and is sent as written. Addresses of
// documents served here carry `acceptanceToken`.
std::string AnswerOf(CachedDocument& document, const HashResults& hashes, const std::string& extraItem,
                     const std::string& acceptanceToken);
