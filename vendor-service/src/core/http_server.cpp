#include "core/http_server.h"
#include "http/forwarded_for.h"

#include "core/file_body.h"
#include "core/tls_stream.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// What the listener and every session share. The server owns it. Each
// thread runs an io_context of its own, and a connection stays on one
// of them for its whole life: no strands, no locks between threads on the
// way of a request. The io_contexts are the last member, so they are
// destroyed first, and with them every connection still waiting, while the
// rest is still there for them.
struct ServerState {
    Limits limits;
    std::vector<std::string> trustedProxies;
    ServerCallbacks callbacks;
    std::optional<ssl::context> tls;
    std::vector<std::thread> threads;
    std::atomic<int> connections{0};
    std::atomic<bool> stopping{false};
    std::atomic<size_t> bodyBytesInUse{0};
    // Each open connection's way to close itself when idle, for Stop().
    std::mutex sessionsMutex;
    std::list<std::function<void()>> closeIfIdle;
    int port = 0;
    size_t nextContext = 0;  // used on the acceptor's thread only
    std::optional<tcp::acceptor> acceptor;
    std::optional<net::steady_timer> acceptPause;
    std::vector<std::unique_ptr<net::io_context>> contexts;

    explicit ServerState(int threadCount) {
        for (int i = 0; i < std::max(1, threadCount); ++i) contexts.push_back(std::make_unique<net::io_context>(1));
    }
    ~ServerState() {
        acceptPause.reset();
        acceptor.reset();
    }
    net::io_context& NextContext() { return *contexts[nextContext++ % contexts.size()]; }
};

namespace {

constexpr size_t DrainBytes = size_t{256} * 1024;  // read and dropped after a refusal, so the answer is not lost
constexpr int DrainMs = 1000;
constexpr int AcceptPauseMs = 100;  // when the process is out of descriptors
constexpr uint64_t SmallFileBytes = uint64_t{64} * 1024;  // sent with the head; bigger ones in pieces

// The request line and each field within their limits: 0, or the status to refuse with.
int HeadLimitStatus(const Limits& limits, const http::request<http::string_body>& message) {
    if (message.target().size() > limits.requestLineBytes) return 414;
    size_t count = 0;
    for (const auto& field : message) {
        if (++count > limits.fieldCount) return 431;
        if (field.name_string().size() + field.value().size() > limits.fieldBytes) return 431;
    }
    return 0;
}

// A header value that cannot split the answer.
bool IsSafeHeaderText(const std::string& text) {
    return text.find_first_of("\r\n") == std::string::npos;
}

// Puts a connection's closer on the list Stop() goes through.
std::list<std::function<void()>>::iterator Register(ServerState* state, std::function<void()> closer) {
    std::lock_guard<std::mutex> lock(state->sessionsMutex);
    return state->closeIfIdle.insert(state->closeIfIdle.end(), std::move(closer));
}

void Unregister(ServerState* state, std::list<std::function<void()>>::iterator registration) {
    std::lock_guard<std::mutex> lock(state->sessionsMutex);
    state->closeIfIdle.erase(registration);
}

std::string StatusLine(int status) {
    const beast::string_view reason = http::obsolete_reason(static_cast<http::status>(status));
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason.data(), reason.size()) + "\r\n";
}

// Each step of a connection starts the next from its completion handler:
// a chain of callbacks, not a recursion on the stack.
// NOLINTBEGIN(misc-no-recursion)
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    template <class... StreamArgs>
    Session(ServerState* state, std::string client, StreamArgs&&... args)
        : state_(state),
          stream_(std::forward<StreamArgs>(args)...),
          buffer_(state_->limits.headerBytes + 4096),
          client_(std::move(client)) {}

    ~Session() {
        DropBodyFile();
        ReleaseBody();
        state_->connections--;
        if (registered_) Unregister(state_, registration_);
    }

    void Run() {
        std::weak_ptr<Session> weak = this->shared_from_this();
        registration_ = Register(state_, [weak] {
            if (auto self = weak.lock()) net::post(self->stream_.get_executor(), [self] { self->CloseIfIdle(); });
        });
        registered_ = true;
        // From here on only the connection's own thread touches it.
        net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->Begin(); });
    }

private:
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
    void Deadline(int ms) { Lowest().expires_after(std::chrono::milliseconds(ms)); }

    void Begin() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            Deadline(state_->limits.handshakeMs);
            stream_.async_handshake([self = this->shared_from_this()](beast::error_code ec) {
                if (ec) return self->CloseNow();
                self->ReadHead();
            });
        } else {
            ReadHead();
        }
    }

    void ReadHead() {
        if (state_->stopping) return Close();
        busy_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(state_->limits.headerBytes));
        // The body's bound is the route's, set once the head is admitted;
        // until then no byte of a body is read.
        parser_->body_limit(boost::none);
        Deadline(served_ == 0 ? state_->limits.headerMs : state_->limits.keepAliveMs);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
    }

    void OnHead(beast::error_code ec) {
        if (ec) {
            if (ec == http::error::header_limit || ec == net::error::no_buffer_space ||
                ec == http::error::buffer_overflow) {
                return Refuse(431, "cabecera demasiado grande");
            }
            if (ec == http::error::body_limit) return Refuse(413, "el cuerpo supera 1 MB");
            const bool malformed = ec.category() == http::make_error_code(http::error::bad_method).category() &&
                                   ec != http::error::end_of_stream && ec != http::error::partial_message;
            if (!malformed) return CloseNow();  // the client left, stalled or broke the connection
            return Refuse(400, "peticion no valida");
        }
        busy_ = true;
        started_ = Clock::now();
        const auto& message = parser_->get();
        request_ = Request();
        request_.method = std::string(message.method_string());
        request_.target = std::string(message.target());
        for (const auto& field : message) {
            request_.headers.push_back({std::string(field.name_string()), std::string(field.value())});
        }
        request_.clientAddress = client_;
        if (!state_->trustedProxies.empty()) {
            request_.clientAddress = ClientBehindProxies(client_, JoinedHeaderValues(request_.headers, "X-Forwarded-For"),
                                                         state_->trustedProxies);
        }
        request_.hasBody = parser_->chunked() || (parser_->content_length() && *parser_->content_length() > 0);
        request_.declaredLength = parser_->content_length().value_or(0);
        keepAlive_ = message.keep_alive();
        http10_ = message.version() < 11;
        record_ = AccessRecord();
        record_.client = request_.clientAddress;
        if (request_.clientAddress != client_) record_.via = client_;
        record_.method = request_.method;
        record_.host = HeaderValue(request_.headers, "Host");
        record_.target = request_.target;
        const int limitStatus = HeadLimitStatus(state_->limits, message);
        if (limitStatus != 0) {
            return Refuse(limitStatus, limitStatus == 414 ? "ruta demasiado larga" : "cabecera demasiado grande");
        }
        if (!SplitTarget(request_.target, request_.path, request_.query)) return Refuse(400, "ruta no valida");
        Admission admission = state_->callbacks.admit(request_);
        if (admission.refused) return Send(std::move(admission.refusal));
        TakeBody(admission);
    }

    // The body of an admitted head: read within the route's bound, left
    // unread (and the connection closed after the answer), or none.
    void TakeBody(const Admission& admission) {
        if (!request_.hasBody) return Dispatch();
        if (!admission.readBody) {
            unreadBody_ = true;
            return Dispatch();
        }
        if (!admission.bodyFile.empty()) return TakeBodyToFile(admission);
        // A route may take less than the server's bound; set before any body byte is parsed.
        bodyLimit_ = admission.maxBodyBytes != 0 ? std::min(admission.maxBodyBytes, state_->limits.bodyBytes)
                                                 : state_->limits.bodyBytes;
        if (!parser_->chunked() && request_.declaredLength > bodyLimit_) return Refuse(413, BodyLimitText());
        parser_->body_limit(bodyLimit_);
        if (!ReserveBody()) return Refuse(503, "el servicio esta ocupado; intentelo mas tarde");
        if (beast::iequals(HeaderValue(request_.headers, "Expect"), "100-continue")) return SendContinue();
        ReadBody();
    }

    // Holds back what the body may take from the budget of all bodies.
    bool ReserveBody() {
        const size_t wanted = parser_->chunked() ? bodyLimit_ : request_.declaredLength;
        size_t used = state_->bodyBytesInUse.load();
        do {
            if (used + wanted > state_->limits.bodyBudgetBytes) return false;
        } while (!state_->bodyBytesInUse.compare_exchange_weak(used, used + wanted));
        reserved_ = wanted;
        return true;
    }

    std::string BodyLimitText() const {
        return bodyLimit_ % (size_t{1024} * 1024) == 0 ? "el cuerpo supera " + std::to_string(bodyLimit_ >> 20) + " MB"
                                                       : "el cuerpo supera " + std::to_string(bodyLimit_) + " bytes";
    }

    void ReleaseBody() {
        if (reserved_ != 0) state_->bodyBytesInUse -= reserved_;
        reserved_ = 0;
    }

    void SendContinue() {
        interim_ = "HTTP/1.1 100 Continue\r\n\r\n";
        Deadline(state_->limits.writeMs);
        net::async_write(stream_, net::buffer(interim_),
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             if (ec) return self->CloseNow();
                             self->ReadBody();
                         });
    }

    void ReadBody() {
        Deadline(state_->limits.bodyMs);
        http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec == http::error::body_limit) return self->Refuse(413, self->BodyLimitText());
            if (ec) return self->CloseNow();
            self->request_.body = std::move(self->parser_->get().body());
            self->Dispatch();
        });
    }

    // A body streamed to a new file, read a piece at a time with the body's
    // deadline for each piece, bounded by the route; the file goes when the
    // body does not arrive whole.
    void TakeBodyToFile(const Admission& admission) {
        if (!parser_->chunked() && request_.declaredLength > admission.maxBodyBytes) {
            return Refuse(413, "el cuerpo supera " + std::to_string(admission.maxBodyBytes >> 20) + " MB");
        }
        fileParser_.emplace(std::move(*parser_));
        parser_.reset();
        fileParser_->body_limit(admission.maxBodyBytes);
        bodyFile_ = admission.bodyFile;
        const int fd = ::open(bodyFile_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            bodyFile_.clear();
            return Refuse(503, "no se pudo guardar el cuerpo");
        }
        fileParser_->get().body().fd = fd;
        if (beast::iequals(HeaderValue(request_.headers, "Expect"), "100-continue")) {
            interim_ = "HTTP/1.1 100 Continue\r\n\r\n";
            Deadline(state_->limits.writeMs);
            return net::async_write(stream_, net::buffer(interim_),
                                    [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                        if (ec) return self->DropBodyFile(), self->CloseNow();
                                        self->ReadBodyPiece();
                                    });
        }
        ReadBodyPiece();
    }

    void ReadBodyPiece() {
        Deadline(state_->limits.bodyMs);
        http::async_read_some(stream_, buffer_, *fileParser_,
                              [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                  if (ec == http::error::body_limit) {
                                      self->DropBodyFile();
                                      return self->Refuse(413, "el cuerpo supera el límite de subida");
                                  }
                                  if (ec) return self->DropBodyFile(), self->CloseNow();
                                  if (!self->fileParser_->is_done()) return self->ReadBodyPiece();
                                  auto& body = self->fileParser_->get().body();
                                  ::close(body.fd);
                                  body.fd = -1;
                                  self->request_.bodyFile = self->bodyFile_;
                                  self->request_.bodyFileBytes = body.bytes;
                                  self->request_.bodyFileSha256 = body.Hex();
                                  self->bodyFile_.clear();  // the handler's now
                                  self->fileParser_.reset();
                                  self->Dispatch();
                              });
    }

    void DropBodyFile() {
        if (fileParser_ && fileParser_->get().body().fd >= 0) {
            ::close(fileParser_->get().body().fd);
            fileParser_->get().body().fd = -1;
        }
        if (!bodyFile_.empty()) ::unlink(bodyFile_.c_str());
        bodyFile_.clear();
        fileParser_.reset();
    }

    void Dispatch() {
        record_.bytesIn = request_.body.size();
        Respond respond = [self = this->shared_from_this()](Response response) {
            net::post(self->stream_.get_executor(),
                      [self, response = std::move(response)]() mutable { self->Send(std::move(response)); });
        };
        state_->callbacks.handle(request_, std::move(respond));
        request_ = Request();  // the handler kept what it needs; a body is not held while the answer is waited for
    }

    void Refuse(int status, const std::string& text) {
        if (!busy_) {
            busy_ = true;
            started_ = Clock::now();
            record_ = AccessRecord();
            record_.client = request_.clientAddress;
        if (request_.clientAddress != client_) record_.via = client_;
        }
        Response response = ErrorResponse(status, text);
        response.closeConnection = true;
        Send(std::move(response));
    }

    void Send(Response response) {
        response_ = std::move(response);
        const bool head = record_.method == "HEAD";
        const bool close = response_.closeConnection || unreadBody_ || !keepAlive_ || state_->stopping ||
                           served_ + 1 >= state_->limits.requestsPerConnection;
        closeAfter_ = close;
        const uint64_t length = response_.file ? response_.fileLength : response_.body.size();
        record_.status = response_.status;
        record_.bytesOut = head ? 0 : length;
        record_.note = response_.logNote;
        std::string text = StatusLine(response_.status);
        for (const HeaderField& field : response_.headers) {
            if (IsSafeHeaderText(field.name) && IsSafeHeaderText(field.value)) {
                text += field.name + ": " + field.value + "\r\n";
            }
        }
        text += "Content-Length: " + std::to_string(length) + "\r\n";
        if (close) text += "Connection: close\r\n";
        if (!close && http10_) text += "Connection: keep-alive\r\n";
        text += "\r\n";
        if (!head && !response_.file) text += response_.body;
        // A small file goes out with its head in one write (one TLS record).
        if (!head && response_.file && response_.fileLength <= SmallFileBytes) {
            const size_t at = text.size();
            text.resize(at + response_.fileLength);
            const ssize_t got = pread(response_.file->fd, &text[at], response_.fileLength,
                                      static_cast<off_t>(response_.fileOffset));
            if (got != static_cast<ssize_t>(response_.fileLength)) return Finish(false);
            response_.file.reset();
        }
        fileLeft_ = head || !response_.file ? 0 : response_.fileLength;  // a big file follows in pieces
        fileAt_ = response_.fileOffset;
        output_ = std::move(text);
        Deadline(state_->limits.writeMs);
        net::async_write(stream_, net::buffer(output_), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->Finish(false);
            self->SendFilePart();
        });
    }

    void SendFilePart() {
        if (fileLeft_ == 0) return Finish(true);
        chunk_.resize(state_->limits.fileChunkBytes);
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(fileLeft_, chunk_.size()));
        const ssize_t got = pread(response_.file->fd, chunk_.data(), wanted, static_cast<off_t>(fileAt_));
        if (got <= 0) return Finish(false);  // the file shrank under us: the client sees a short body
        Deadline(state_->limits.writeMs);
        net::async_write(stream_, net::buffer(chunk_.data(), static_cast<size_t>(got)),
                         [self = this->shared_from_this()](beast::error_code ec, size_t written) {
                             if (ec) return self->Finish(false);
                             self->fileAt_ += written;
                             self->fileLeft_ -= written;
                             self->SendFilePart();
                         });
    }

    void Finish(bool complete) {
        record_.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
        if (!complete) record_.note = record_.note.empty() ? "cut" : record_.note + ",cut";
        if (state_->callbacks.log) state_->callbacks.log(record_);
        if (response_.onFinished) response_.onFinished(complete);
        ReleaseBody();
        response_ = Response();
        std::vector<char>().swap(chunk_);
        if constexpr (std::is_same_v<Stream, TlsStream>) stream_.ReleaseBuffers();
        ++served_;
        busy_ = false;
        if (!complete) return CloseNow();
        if (closeAfter_) return Close();
        ReadHead();
    }

    void CloseIfIdle() {
        if (!busy_) CloseNow();
    }

    // Ends the connection after an answer: no more is sent, and what the
    // client still sends (an unread body) is read and dropped for a moment,
    // so that closing does not reset the connection before the answer
    // reaches the client.
    void Close() {
        beast::error_code ignored;
        Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        drained_ = 0;
        Drain();
    }

    void Drain() {
        chunk_.resize(size_t{16} * 1024);
        Deadline(DrainMs);
        Lowest().async_read_some(net::buffer(chunk_), [self = this->shared_from_this()](beast::error_code ec, size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ >= DrainBytes) return self->CloseNow();
            self->Drain();
        });
    }

    void CloseNow() {
        beast::error_code ignored;
        Lowest().socket().close(ignored);
    }

    ServerState* state_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::string client_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::request_parser<HashedFileBody>> fileParser_;  // a body streamed to a file
    std::string bodyFile_;  // that file, while the session still owns it
    Request request_;
    Response response_;
    AccessRecord record_;
    Clock::time_point started_;
    std::string interim_;
    std::string output_;
    std::vector<char> chunk_;
    uint64_t fileAt_ = 0;
    uint64_t fileLeft_ = 0;
    size_t reserved_ = 0;
    size_t drained_ = 0;
    int served_ = 0;
    bool busy_ = false;
    bool keepAlive_ = true;
    bool http10_ = false;
    bool unreadBody_ = false;
    size_t bodyLimit_ = 0;
    bool closeAfter_ = false;
    bool registered_ = false;
    std::list<std::function<void()>>::iterator registration_;
};

// NOLINTEND(misc-no-recursion)

void Accept(ServerState* state);

// A TLS connection waits here, costing a socket and a timer, until its
// first bytes arrive; only then is the TLS state made (tens of kilobytes),
// so a crowd of idle connections costs little memory.
class FirstBytes : public std::enable_shared_from_this<FirstBytes> {
public:
    FirstBytes(ServerState* state, std::string client, tcp::socket socket)
        : state_(state), client_(std::move(client)), socket_(std::move(socket)), timer_(socket_.get_executor()) {}
    ~FirstBytes() {
        if (!handedOver_) state_->connections--;
        if (registered_) Unregister(state_, registration_);
    }

    void Run() {
        std::weak_ptr<FirstBytes> weak = shared_from_this();
        registration_ = Register(state_, [weak] {
            if (auto self = weak.lock()) net::post(self->socket_.get_executor(), [self] { self->Close(); });
        });
        registered_ = true;
        net::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->Wait(); });
    }

private:
    void Wait() {
        timer_.expires_after(std::chrono::milliseconds(state_->limits.handshakeMs));
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->Close();
        });
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
            self->timer_.cancel();
            if (ec || !self->socket_.is_open() || self->state_->stopping) return;
            self->handedOver_ = true;
            std::make_shared<Session<TlsStream>>(self->state_, self->client_, std::move(self->socket_),
                                                 self->state_->tls->native_handle())
                ->Run();
        });
    }

    void Close() {
        beast::error_code ignored;
        socket_.close(ignored);
    }

    ServerState* state_;
    std::string client_;
    tcp::socket socket_;
    net::steady_timer timer_;
    bool handedOver_ = false;
    bool registered_ = false;
    std::list<std::function<void()>>::iterator registration_;
};

void OnAccept(ServerState* state, beast::error_code ec, tcp::socket socket) {
    if (state->stopping) return;
    if (ec) {
        // Out of descriptors (or memory): wait a moment instead of spinning.
        state->acceptPause->expires_after(std::chrono::milliseconds(AcceptPauseMs));
        state->acceptPause->async_wait([state](beast::error_code) { Accept(state); });
        return;
    }
    if (state->connections >= state->limits.maxConnections) {
        beast::error_code ignored;
        socket.close(ignored);
        return Accept(state);
    }
    beast::error_code ignored;
    // Small answers go out at once, not held back for the client's ACK.
    socket.set_option(tcp::no_delay(true), ignored);
    const tcp::endpoint peer = socket.remote_endpoint(ignored);
    const std::string client = ignored ? std::string("?") : peer.address().to_string();
    state->connections++;
    if (state->tls) {
        std::make_shared<FirstBytes>(state, client, std::move(socket))->Run();
    } else {
        std::make_shared<Session<beast::tcp_stream>>(state, client, std::move(socket))->Run();
    }
    Accept(state);
}

void Accept(ServerState* state) {
    state->acceptor->async_accept(state->NextContext(), [state](beast::error_code ec, tcp::socket socket) {
        OnAccept(state, ec, std::move(socket));
    });
}

// Every connection needs a descriptor: take as many as the system allows.
void RaiseDescriptorLimit() {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool MakeTls(ServerState& state, const ListenSettings& listen, std::string& error) {
    state.tls.emplace(ssl::context::tls_server);
    beast::error_code ec;
    state.tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                               ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                           ec);
    if (!ec) state.tls->use_certificate_chain_file(listen.certificateFile, ec);
    if (!ec) state.tls->use_private_key_file(listen.keyFile, ssl::context::pem, ec);
    if (ec) error = "cannot load the certificate or key: " + ec.message();
    // No renegotiation (a client could make the service redo handshakes),
    // and OpenSSL's record buffers are given back while a connection idles.
    SSL_CTX_set_options(state.tls->native_handle(), SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(state.tls->native_handle(), SSL_MODE_RELEASE_BUFFERS);
    return !ec;
}

}  // namespace

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() {
    // A thread that cannot be joined is the only failure left here, and a
    // destructor has no one to tell.
    try {
        Stop();
    } catch (const std::exception&) {
    }
}

bool HttpServer::Start(const ListenSettings& listen, const Limits& limits, ServerCallbacks callbacks,
                       std::string& error) {
    auto state = std::make_unique<ServerState>(listen.threads);
    state->limits = limits;
    state->trustedProxies = listen.trustedProxies;
    state->callbacks = std::move(callbacks);
    if (listen.tls && !MakeTls(*state, listen, error)) return false;
    beast::error_code ec;
    const net::ip::address address = net::ip::make_address(listen.address, ec);
    if (ec) {
        error = "not an address: " + listen.address;
        return false;
    }
    state->acceptor.emplace(*state->contexts[0]);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(listen.port));
    state->acceptor->open(endpoint.protocol(), ec);
    if (!ec) state->acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) state->acceptor->bind(endpoint, ec);
    if (!ec) state->acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + listen.address + ":" + std::to_string(listen.port) + ": " + ec.message();
        return false;
    }
    state->port = state->acceptor->local_endpoint().port();
    state->acceptPause.emplace(state->acceptor->get_executor());
    RaiseDescriptorLimit();
    Accept(state.get());
    for (const auto& context : state->contexts) {
        state->threads.emplace_back([io = context.get()] {
            const auto work = net::make_work_guard(*io);  // a thread without connections waits for some
            io->run();
        });
    }
    state_ = std::move(state);
    return true;
}

int HttpServer::Port() const {
    return state_ ? state_->port : 0;
}

int HttpServer::OpenConnections() const {
    return state_ ? state_->connections.load() : 0;
}

void HttpServer::Stop() {
    if (!state_ || state_->threads.empty()) return;
    ServerState* state = state_.get();
    state->stopping = true;
    net::post(state->acceptor->get_executor(), [state] {
        beast::error_code ignored;
        state->acceptor->close(ignored);
        state->acceptPause->cancel();
    });
    std::vector<std::function<void()>> closers;
    {
        std::lock_guard<std::mutex> lock(state->sessionsMutex);
        closers.assign(state->closeIfIdle.begin(), state->closeIfIdle.end());
    }
    for (const auto& closeIfIdle : closers) closeIfIdle();
    closers.clear();
    // Requests in flight finish, each connection closing after its answer.
    const auto deadline = Clock::now() + std::chrono::milliseconds(state->limits.shutdownMs);
    while (state->connections > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto& context : state->contexts) context->stop();
    for (std::thread& thread : state->threads) thread.join();
    state->threads.clear();
}
