// Every limit the HTTP layer enforces, named after what it guards, with its
// default in this one place. The serve command can change each of them.
#pragma once
#include <cstddef>
#include <cstdint>

struct Limits {
    // Request head: the whole header block, one request line, one field, the
    // number of fields. The block is bounded as bytes arrive; the others are
    // checked once the (bounded) block is complete.
    size_t headerBytes = size_t{16} * 1024;
    size_t requestLineBytes = size_t{4} * 1024;
    size_t fieldBytes = size_t{8} * 1024;
    size_t fieldCount = 64;
    // A posted body, counted as its bytes arrive (Content-Length or chunked).
    size_t bodyBytes = size_t{1024} * 1024;
    // All bodies being read at once; a body that would pass it gets 503.
    size_t bodyBudgetBytes = size_t{48} * 1024 * 1024;

    // Time-outs, in milliseconds.
    int handshakeMs = 10000;   // TLS handshake
    int headerMs = 10000;      // a connection's first request head, from accept
    int keepAliveMs = 15000;   // a later request head, from the previous answer
    int bodyMs = 30000;        // the whole body of a request
    int writeMs = 30000;       // each write of an answer (a download is many writes)
    int shutdownMs = 1500;     // requests in flight when the service is told to stop

    // Connections.
    int requestsPerConnection = 1000;
    int maxConnections = 20000;

    // Static files are sent in pieces of this size.
    size_t fileChunkBytes = size_t{256} * 1024;
};
