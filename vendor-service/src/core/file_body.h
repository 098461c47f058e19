// A request body written to a file as it arrives, never held in memory,
// with its SHA-256 taken on the way: Beast's body concept (a value, and a
// reader that the parser hands each piece of the body).
#pragma once
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "http/text_escape.h"

struct HashedFileBody {
    struct value_type {
        int fd = -1;  // opened by the session before the first byte, closed by it
        uint64_t bytes = 0;
        std::shared_ptr<EVP_MD_CTX> sha256{EVP_MD_CTX_new(), EVP_MD_CTX_free};

        value_type() { EVP_DigestInit_ex(sha256.get(), EVP_sha256(), nullptr); }
        std::string Hex() const {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int size = 0;
            const std::shared_ptr<EVP_MD_CTX> copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
            EVP_MD_CTX_copy_ex(copy.get(), sha256.get());
            EVP_DigestFinal_ex(copy.get(), digest, &size);
            return LowerHex(digest, size);
        }
    };

    class reader {
    public:
        template <bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

        void init(const boost::optional<std::uint64_t>&, boost::beast::error_code& ec) const {
            if (body_.fd < 0) ec = boost::beast::errc::make_error_code(boost::beast::errc::bad_file_descriptor);
            else ec = {};
        }

        template <class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
            std::size_t taken = 0;
            for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
                 ++it) {
                const boost::asio::const_buffer buffer = *it;
                const char* data = static_cast<const char*>(buffer.data());
                size_t left = buffer.size();
                EVP_DigestUpdate(body_.sha256.get(), data, left);
                while (left > 0) {
                    const ssize_t written = ::write(body_.fd, data, left);
                    if (written < 0 && errno == EINTR) continue;
                    if (written <= 0) {
                        ec = boost::beast::errc::make_error_code(static_cast<boost::beast::errc::errc_t>(errno));
                        return taken;
                    }
                    data += written;
                    left -= static_cast<size_t>(written);
                    taken += static_cast<size_t>(written);
                    body_.bytes += static_cast<uint64_t>(written);
                }
            }
            ec = {};
            return taken;
        }

        static void finish(boost::beast::error_code& ec) { ec = {}; }

    private:
        value_type& body_;
    };
};
