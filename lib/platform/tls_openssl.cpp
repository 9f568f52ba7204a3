// The TLS client session on OpenSSL: memory BIOs in both directions, so the
// session never sees the socket; the connection moves the bytes.
#include <arpa/inet.h>

#include <climits>
#include <memory>

#include "lib/platform/openssl_library.h"
#include "lib/platform/tls.h"

namespace palaver::platform {
namespace {

// TLS 1.2 only with forward-secret AEAD suites (no CBC, no RSA key exchange);
// TLS 1.3's suites are all of that kind and stay OpenSSL's.
constexpr const char* kTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20";

// The address part of an IP literal ("::1", "[::1]", "fe80::1%eth0"), or
// empty when `name` is a host name.
std::string ip_literal(const std::string& name) {
    std::string text = name;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    text = text.substr(0, text.find('%'));
    unsigned char address[16];
    if (::inet_pton(AF_INET, text.c_str(), address) == 1 ||
        ::inet_pton(AF_INET6, text.c_str(), address) == 1) {
        return text;
    }
    return {};
}

class OpenSslSession : public TlsSession {
  public:
    explicit OpenSslSession(const TlsOptions& options) {
        std::string why;
        ssl_ = openssl(why);
        if (ssl_ == nullptr) {
            fail(TlsFailure::Unavailable, why);
            return;
        }
        ssl_->ERR_clear_error();
        if (!set_up(options)) {
            fail(TlsFailure::Setup, failure_text_.empty() ? queued_error() : failure_text_);
        }
    }

    ~OpenSslSession() override {
        if (ssl_ == nullptr) {
            return;
        }
        if (!biosGiven_) {
            free_bio(in_);
            free_bio(out_);
        }
        if (session_ != nullptr) {
            ssl_->SSL_free(session_);  // and the BIOs given to it
        }
        if (context_ != nullptr) {
            ssl_->SSL_CTX_free(context_);
        }
        ssl_->ERR_clear_error();
    }

    void feed(const std::uint8_t* bytes, std::size_t count) override {
        while (in_ != nullptr && count > 0) {
            int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
            int taken = ssl_->BIO_write(in_, bytes, chunk);
            if (taken <= 0) {
                fail(TlsFailure::Stream, "cannot buffer received bytes");
                return;
            }
            bytes += taken;
            count -= static_cast<std::size_t>(taken);
        }
    }

    Step handshake() override {
        if (failure_ != TlsFailure::None) {
            return Step::Failed;
        }
        ssl_->ERR_clear_error();
        int result = ssl_->SSL_do_handshake(session_);
        if (result == 1) {
            return Step::Done;
        }
        if (wants_io(result)) {
            return Step::Continue;
        }
        long verified = ssl_->SSL_get_verify_result(session_);
        if (verified != X509_V_OK) {
            fail(TlsFailure::Certificate, ssl_->X509_verify_cert_error_string(verified));
            ssl_->ERR_clear_error();
        } else {
            fail(TlsFailure::Handshake, queued_error());
        }
        return Step::Failed;
    }

    long read(std::uint8_t* plain, std::size_t room) override {
        if (failure_ != TlsFailure::None || closed_) {
            return -1;
        }
        ssl_->ERR_clear_error();
        std::size_t got = 0;
        int result = ssl_->SSL_read_ex(session_, plain, room, &got);
        if (result == 1) {
            return static_cast<long>(got);
        }
        if (wants_io(result)) {
            return 0;
        }
        if (ssl_->SSL_get_error(session_, result) == SSL_ERROR_ZERO_RETURN) {
            closed_ = true;  // the server's close_notify
        } else {
            fail(TlsFailure::Stream, queued_error());
        }
        return -1;
    }

    bool write(const std::uint8_t* plain, std::size_t count) override {
        if (failure_ != TlsFailure::None || closed_) {
            return false;
        }
        ssl_->ERR_clear_error();
        std::size_t written = 0;
        // A memory BIO takes every record at once.
        if (count > 0 && ssl_->SSL_write_ex(session_, plain, count, &written) != 1) {
            fail(TlsFailure::Stream, queued_error());
            return false;
        }
        return true;
    }

    void close() override {
        if (session_ != nullptr && failure_ == TlsFailure::None) {
            ssl_->ERR_clear_error();
            ssl_->SSL_shutdown(session_);
            ssl_->ERR_clear_error();
        }
    }

    void take_output(std::vector<std::uint8_t>& out) override {
        if (out_ == nullptr) {
            return;
        }
        std::size_t pending = ssl_->BIO_ctrl_pending(out_);
        while (pending > 0) {
            std::size_t at = out.size();
            int chunk = pending > INT_MAX ? INT_MAX : static_cast<int>(pending);
            out.resize(at + static_cast<std::size_t>(chunk));
            int taken = ssl_->BIO_read(out_, out.data() + at, chunk);
            out.resize(at + static_cast<std::size_t>(taken > 0 ? taken : 0));
            if (taken <= 0) {
                return;
            }
            pending -= static_cast<std::size_t>(taken);
        }
    }

    bool closed() const override { return closed_; }
    TlsFailure failure() const override { return failure_; }
    const std::string& failure_text() const override { return failure_text_; }

  private:
    bool set_up(const TlsOptions& options) {
        context_ = ssl_->SSL_CTX_new(ssl_->TLS_client_method());
        if (context_ == nullptr ||
            ssl_->SSL_CTX_ctrl(context_, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) !=
                1 ||
            ssl_->SSL_CTX_set_cipher_list(context_, kTls12Ciphers) != 1) {
            return false;
        }
        // Every Login makes a full handshake: no session is kept to resume, so
        // no ticket need be asked for, and a renegotiation is refused.
        ssl_->SSL_CTX_set_options(context_, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
        if (options.verify && !trust(options.caFile)) {
            return false;
        }
        ssl_->SSL_CTX_set_verify(context_, options.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                                 nullptr);
        session_ = ssl_->SSL_new(context_);
        in_ = ssl_->BIO_new(ssl_->BIO_s_mem());
        out_ = ssl_->BIO_new(ssl_->BIO_s_mem());
        if (session_ == nullptr || in_ == nullptr || out_ == nullptr) {
            return false;
        }
        ssl_->SSL_set_bio(session_, in_, out_);  // the session owns them from here
        biosGiven_ = true;
        ssl_->SSL_set_connect_state(session_);
        return name_server(options);
    }

    bool trust(const std::string& caFile) {
        if (caFile.empty()) {
            return ssl_->SSL_CTX_set_default_verify_paths(context_) == 1;
        }
        if (ssl_->SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
            failure_text_ = "cannot read the CA file " + caFile + ": " + queued_error();
            return false;
        }
        return true;
    }

    // SNI for a name; the certificate must match the name or the address.
    bool name_server(const TlsOptions& options) {
        const std::string& name = options.serverName;
        const std::string ip = ip_literal(name);
        if (ip.empty() && !name.empty() &&
            ssl_->SSL_ctrl(session_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                           const_cast<char*>(name.c_str())) != 1) {
            return false;
        }
        if (!options.verify) {
            return true;
        }
        if (name.empty()) {
            failure_text_ = "no server name to check the certificate against";
            return false;
        }
        return ip.empty() ? ssl_->SSL_set1_host(session_, name.c_str()) == 1
                          : ssl_->X509_VERIFY_PARAM_set1_ip_asc(ssl_->SSL_get0_param(session_),
                                                                ip.c_str()) == 1;
    }

    bool wants_io(int result) const {
        int error = ssl_->SSL_get_error(session_, result);
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }

    // The oldest error OpenSSL queued on this thread, and a clean queue.
    std::string queued_error() {
        unsigned long code = ssl_->ERR_get_error();
        ssl_->ERR_clear_error();
        if (code == 0) {
            return "the TLS library gave no reason";
        }
        char text[256];
        ssl_->ERR_error_string_n(code, text, sizeof text);
        return text;
    }

    void fail(TlsFailure kind, const std::string& text) {
        failure_ = kind;
        failure_text_ = text;
    }

    void free_bio(BIO* bio) {
        if (bio != nullptr) {
            ssl_->BIO_free(bio);
        }
    }

    const OpenSsl* ssl_ = nullptr;
    SSL_CTX* context_ = nullptr;
    SSL* session_ = nullptr;
    BIO* in_ = nullptr;   // received records, for OpenSSL to read
    BIO* out_ = nullptr;  // records OpenSSL wrote, for the socket
    bool biosGiven_ = false;
    bool closed_ = false;
    TlsFailure failure_ = TlsFailure::None;
    std::string failure_text_;
};

}  // namespace

std::unique_ptr<TlsSession> open_tls_session(const TlsOptions& options) {
    return std::make_unique<OpenSslSession>(options);
}

bool tls_available(std::string* why) {
    std::string reason;
    const bool loaded = openssl(reason) != nullptr;
    if (why != nullptr) {
        *why = reason;
    }
    return loaded;
}

}  // namespace palaver::platform
