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
std::string AnswerOf(CachedDocument& document, const HashResults& hashes);
