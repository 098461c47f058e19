#include "webhooks/webhook_client.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <memory>
#include <optional>

#include "http/text_escape.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

constexpr size_t MaxAnswerBodyBytes = size_t{64} * 1024;
constexpr int SliceMs = 100;  // how often a send in progress looks whether the service is stopping
constexpr char UserAgent[] = "trevanto-servicio (avisos)";

// One exchange: resolve, connect, (handshake), write, read; each step's
// failure ends it with the step's name.
struct Exchange : std::enable_shared_from_this<Exchange> {
    net::io_context& io;
    tcp::resolver resolver;
    std::optional<ssl::context> tlsContext;
    std::optional<beast::ssl_stream<beast::tcp_stream>> tls;
    std::optional<beast::tcp_stream> plain;
    ReceiverAddress address;
    http::request<http::string_body> request;
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    ReceiverAnswer answer;
    bool done = false;

    explicit Exchange(net::io_context& context) : io(context), resolver(context) {
        parser.body_limit(MaxAnswerBodyBytes);
    }

    beast::tcp_stream& Lowest() { return tls ? beast::get_lowest_layer(*tls) : *plain; }

    void Fail(const char* step, const beast::error_code& ec) {
        answer.error = std::string(step) + ": " + ec.message();
        done = true;
    }

    bool Start(std::string& error) {
        if (address.tls) {
            tlsContext.emplace(ssl::context::tls_client);
            tlsContext->set_default_verify_paths();
            tlsContext->set_verify_mode(ssl::verify_peer);
            tls.emplace(io, *tlsContext);
            if (!SSL_set_tlsext_host_name(tls->native_handle(), address.host.c_str())) {
                error = "no se pudo fijar el nombre del servidor (SNI)";
                return false;
            }
            tls->set_verify_callback(ssl::host_name_verification(address.host));
        } else {
            plain.emplace(io);
        }
        resolver.async_resolve(address.host, address.port,
                               [self = shared_from_this()](beast::error_code ec, const tcp::resolver::results_type& found) {
                                   if (ec) return self->Fail("resolver", ec);
                                   self->Connect(found);
                               });
        return true;
    }

    void Connect(const tcp::resolver::results_type& found) {
        Lowest().async_connect(found, [self = shared_from_this()](beast::error_code ec, const tcp::endpoint&) {
            if (ec) return self->Fail("conectar", ec);
            if (!self->tls) return self->Write();
            self->tls->async_handshake(ssl::stream_base::client, [self](beast::error_code handshake) {
                if (handshake) return self->Fail("TLS", handshake);
                self->Write();
            });
        });
    }

    template <class Stream>
    void WriteOn(Stream& stream) {
        http::async_write(stream, request, [self = shared_from_this(), &stream](beast::error_code ec, size_t) {
            if (ec) return self->Fail("enviar", ec);
            http::async_read(stream, self->buffer, self->parser, [self](beast::error_code read, size_t) {
                if (read) return self->Fail("leer la respuesta", read);
                self->answer.status = static_cast<int>(self->parser.get().result_int());
                if (self->answer.status < 200 || self->answer.status >= 300) {
                    self->answer.error = "respondió " + std::to_string(self->answer.status);
                }
                self->done = true;
            });
        });
    }

    void Write() {
        if (tls) return WriteOn(*tls);
        WriteOn(*plain);
    }
};

}  // namespace

bool ParseReceiverUrl(const std::string& url, ReceiverAddress& address, std::string& error) {
    const bool tls = url.rfind("https://", 0) == 0;
    if (!tls && url.rfind("http://", 0) != 0) {
        error = "la dirección no es http:// ni https://";
        return false;
    }
    const std::string rest = url.substr(tls ? 8 : 7);
    const size_t end = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, end);
    address.tls = tls;
    address.target = end == std::string::npos ? "/" : rest.substr(end);
    if (address.target[0] != '/') address.target = "/" + address.target;
    const size_t fragment = address.target.find('#');
    if (fragment != std::string::npos) address.target.resize(fragment);
    address.port = tls ? "443" : "80";
    if (!authority.empty() && authority[0] == '[') {  // an IPv6 literal
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            error = "dirección IPv6 sin cerrar";
            return false;
        }
        if (close + 1 < authority.size() && authority[close + 1] == ':') address.port = authority.substr(close + 2);
        address.host = authority.substr(1, close - 1);
    } else {
        const size_t colon = authority.rfind(':');
        if (colon != std::string::npos) {
            address.port = authority.substr(colon + 1);
            authority.resize(colon);
        }
        address.host = authority;
    }
    if (address.host.empty() || address.port.empty() || address.port.size() > 5 ||
        address.port.find_first_not_of("0123456789") != std::string::npos) {
        error = "la dirección no nombra un servidor y un puerto";
        return false;
    }
    return true;
}

std::string WebhookSignature(const std::string& secret, const std::string& body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest, &size);
    return "sha256=" + LowerHex(digest, size);
}

ReceiverAnswer PostToReceiver(const std::string& url, const std::vector<HeaderField>& headers, const std::string& body,
                              int timeoutMs, const std::function<bool()>& stopping) {
    ReceiverAnswer answer;
    ReceiverAddress address;
    if (!ParseReceiverUrl(url, address, answer.error)) return answer;
    net::io_context io;
    auto exchange = std::make_shared<Exchange>(io);
    exchange->address = address;
    http::request<http::string_body>& request = exchange->request;
    request.method(http::verb::post);
    request.target(address.target);
    request.version(11);
    const bool defaultPort = address.port == (address.tls ? "443" : "80");
    const std::string host = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    request.set(http::field::host, defaultPort ? host : host + ":" + address.port);
    request.set(http::field::user_agent, UserAgent);
    request.set(http::field::content_type, "application/json");
    request.set(http::field::connection, "close");
    for (const HeaderField& field : headers) request.set(field.name, field.value);
    request.body() = body;
    request.prepare_payload();
    if (!exchange->Start(answer.error)) return answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!exchange->done && std::chrono::steady_clock::now() < deadline && !(stopping && stopping())) {
        io.run_for(std::chrono::milliseconds(SliceMs));
        // cppcheck-suppress knownConditionTrueFalse ; the handlers io ran may have set it
        if (io.stopped() && !exchange->done) break;
    }
    if (!exchange->done) {
        exchange->answer.error = "sin respuesta en " + std::to_string(timeoutMs / 1000) + " s";
        exchange->answer.status = 0;
    }
    answer = exchange->answer;
    // Whatever step was still waiting ends now, before its objects go.
    beast::error_code ignored;
    exchange->resolver.cancel();
    exchange->Lowest().socket().close(ignored);
    io.restart();
    io.run_for(std::chrono::milliseconds(SliceMs));
    return answer;
}
