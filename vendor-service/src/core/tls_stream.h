// TLS over a TCP stream with OpenSSL writing into and reading from memory:
// a whole answer (a 256 KiB piece of a package, many TLS records) is
// encrypted at once and leaves in one socket write, where a stream over a
// BIO pair sends one 16 KiB record per write. The TCP stream underneath
// keeps its deadlines (expires_after), so every wait here is bounded too.
//
// One operation at a time: a connection reads, then writes, never both.
#pragma once
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/compose.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <openssl/buffer.h>

#include <string>
#include <vector>

// Each step of an operation resumes it from the completion of the one
// before: a chain of callbacks, not a recursion on the stack.
// NOLINTBEGIN(misc-no-recursion)
class TlsStream {
public:
    using next_layer_type = boost::beast::tcp_stream;
    using executor_type = next_layer_type::executor_type;

    TlsStream(boost::asio::ip::tcp::socket&& socket, SSL_CTX* context) : next_(std::move(socket)) {
        ssl_ = SSL_new(context);
        if (ssl_ != nullptr) {
            SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
            SSL_set_accept_state(ssl_);
        }
    }
    ~TlsStream() { SSL_free(ssl_); }
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    executor_type get_executor() noexcept { return next_.get_executor(); }
    next_layer_type& next_layer() noexcept { return next_; }

    // Gives back a large output buffer once an answer is sent, so that an
    // idle connection holds little memory.
    void ReleaseBuffers() {
        BUF_MEM* memory = nullptr;
        if (ssl_ == nullptr || BIO_get_mem_ptr(SSL_get_wbio(ssl_), &memory) <= 0 || memory == nullptr) return;
        if (memory->max > KeptOutputBytes && memory->length == 0) SSL_set0_wbio(ssl_, BIO_new(BIO_s_mem()));
    }

    template <class Handler>
    auto async_handshake(Handler&& handler) {
        return boost::asio::async_compose<Handler, void(boost::system::error_code)>(HandshakeOp{*this}, handler,
                                                                                    next_);
    }

    template <class Buffers, class Handler>
    auto async_read_some(const Buffers& buffers, Handler&& handler) {
        return boost::asio::async_compose<Handler, void(boost::system::error_code, size_t)>(
            ReadOp<Buffers>{*this, buffers}, handler, next_);
    }

    template <class Buffers, class Handler>
    auto async_write_some(const Buffers& buffers, Handler&& handler) {
        return boost::asio::async_compose<Handler, void(boost::system::error_code, size_t)>(
            WriteOp<Buffers>{*this, buffers}, handler, next_);
    }

private:
    static constexpr size_t ReadPiece = size_t{17} * 1024;      // one TLS record and its overhead
    static constexpr size_t KeptOutputBytes = size_t{64} * 1024;  // a larger output buffer is given back after use

    enum class Step { Start, Flushed, Received };

    // The error of the last OpenSSL call that failed.
    static boost::system::error_code SslError(int result) {
        const unsigned long queued = ERR_get_error();
        if (queued != 0) return {static_cast<int>(queued), boost::asio::error::get_ssl_category()};
        if (result == SSL_ERROR_ZERO_RETURN) return boost::asio::error::eof;
        return boost::asio::ssl::error::stream_truncated;
    }

    // What OpenSSL wrote to memory and is to be sent; empty when nothing is.
    boost::asio::const_buffer Output() const {
        char* data = nullptr;
        const long size = BIO_get_mem_data(SSL_get_wbio(ssl_), &data);
        return size > 0 ? boost::asio::const_buffer(data, static_cast<size_t>(size)) : boost::asio::const_buffer();
    }

    // Sends the output straight from OpenSSL's memory: nothing else writes
    // there until the write is through (one operation at a time).
    template <class Self>
    void Flush(Self& self) {
        boost::asio::async_write(next_, Output(), std::move(self));
    }

    void Sent() { (void)BIO_reset(SSL_get_wbio(ssl_)); }

    template <class Self>
    void Receive(Self& self) {
        input_.resize(ReadPiece);
        next_.async_read_some(boost::asio::buffer(input_), std::move(self));
    }

    void Feed(size_t received) { BIO_write(SSL_get_rbio(ssl_), input_.data(), static_cast<int>(received)); }

    struct HandshakeOp {
        TlsStream& stream;
        Step step = Step::Start;

        template <class Self>
        void operator()(Self& self, boost::system::error_code ec = {}, size_t received = 0) {
            if (ec) return self.complete(ec);
            if (stream.ssl_ == nullptr) return self.complete(boost::asio::error::no_memory);
            if (step == Step::Received) stream.Feed(received);
            if (step == Step::Flushed) stream.Sent();
            ERR_clear_error();
            const int result = SSL_do_handshake(stream.ssl_);
            const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(stream.ssl_, result);
            if (stream.Output().size() != 0) {
                step = Step::Flushed;
                return stream.Flush(self);
            }
            if (error == SSL_ERROR_NONE) return self.complete({});
            if (error != SSL_ERROR_WANT_READ) return self.complete(SslError(error));
            step = Step::Received;
            stream.Receive(self);
        }
    };

    template <class Buffers>
    struct ReadOp {
        TlsStream& stream;
        Buffers buffers;
        Step step = Step::Start;
        size_t done = 0;

        template <class Self>
        void operator()(Self& self, boost::system::error_code ec = {}, size_t received = 0) {
            if (ec) return self.complete(ec, 0);
            if (step == Step::Received) stream.Feed(received);
            if (step == Step::Flushed) {
                stream.Sent();
                if (done > 0) return self.complete({}, done);
            }
            const boost::asio::mutable_buffer target = FirstOf(buffers);
            if (target.size() == 0) return self.complete({}, 0);
            ERR_clear_error();
            const int result = SSL_read(stream.ssl_, target.data(), static_cast<int>(target.size()));
            const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(stream.ssl_, result);
            if (result > 0) done = static_cast<size_t>(result);
            // Reading can make OpenSSL answer (a key update): send that first.
            if (stream.Output().size() != 0) {
                step = Step::Flushed;
                if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ) return self.complete(SslError(error), 0);
                return stream.Flush(self);
            }
            if (result > 0) return self.complete({}, done);
            if (error != SSL_ERROR_WANT_READ) return self.complete(SslError(error), 0);
            step = Step::Received;
            stream.Receive(self);
        }

        static boost::asio::mutable_buffer FirstOf(const Buffers& sequence) {
            // The iterator is a pointer for some sequences, a class for others.
            for (auto it = boost::asio::buffer_sequence_begin(sequence);  // NOLINT(readability-qualified-auto)
                 it != boost::asio::buffer_sequence_end(sequence); ++it) {
                const boost::asio::mutable_buffer buffer(*it);
                if (buffer.size() != 0) return buffer;
            }
            return {};
        }
    };

    template <class Buffers>
    struct WriteOp {
        TlsStream& stream;
        Buffers buffers;
        bool sent = false;
        size_t taken = 0;

        template <class Self>
        void operator()(Self& self, boost::system::error_code ec = {}, size_t = 0) {
            if (sent || ec) {
                stream.Sent();
                return self.complete(ec, ec ? 0 : taken);
            }
            // Everything given is encrypted now, record after record, and
            // leaves in one write.
            for (auto it = boost::asio::buffer_sequence_begin(buffers);  // NOLINT(readability-qualified-auto)
                 it != boost::asio::buffer_sequence_end(buffers); ++it) {
                const boost::asio::const_buffer buffer(*it);
                if (buffer.size() == 0) continue;
                ERR_clear_error();
                const int result = SSL_write(stream.ssl_, buffer.data(), static_cast<int>(buffer.size()));
                if (result <= 0) return self.complete(SslError(SSL_get_error(stream.ssl_, result)), 0);
                taken += static_cast<size_t>(result);
            }
            sent = true;
            stream.Flush(self);
        }
    };

    next_layer_type next_;
    SSL* ssl_ = nullptr;
    std::vector<char> input_;
};
// NOLINTEND(misc-no-recursion)
