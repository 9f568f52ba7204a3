// The TLS client session on Schannel through SSPI: the system's own TLS, so
// nothing ships beside the DLL. Received bytes wait in `received_` until
// Schannel has a whole record; records to send collect in `output_`.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
// Windows' headers in the order they need.
#include <winsock2.h>

#include <windows.h>

#include <subauth.h>

#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/platform/schannel_certificate.h"
#include "lib/platform/tls.h"

namespace palaver::platform {
namespace {

constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;
// The certificate is the library's to check (after the handshake), and no
// client certificate is ever picked from the user's store.
constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
// Every Login makes a full handshake: a session leaves Schannel's cache at
// once, so no later connection resumes it (0 would mean ten hours).
constexpr DWORD kSessionLifespanMs = 1;

const char* meaning(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_ALGORITHM_MISMATCH:
            return "the server offers no TLS version (1.2 or newer) or cipher in common";
        case SEC_E_ILLEGAL_MESSAGE:
            return "the server sent a TLS alert or a message that is not valid TLS";
        case SEC_E_INVALID_TOKEN:
            return "the server's reply is not TLS";
        case SEC_E_DECRYPT_FAILURE:
        case SEC_E_MESSAGE_ALTERED:
            return "a TLS record from the server was damaged";
        case SEC_I_INCOMPLETE_CREDENTIALS:
            return "the server asks for a client certificate, and there is none";
        default:
            return "Schannel failed";
    }
}

// The meaning and Schannel's own code, which the host can look up.
std::string describe(SECURITY_STATUS status) {
    char code[24];
    std::snprintf(code, sizeof code, " (0x%08lX)", static_cast<unsigned long>(status));
    return meaning(status) + std::string(code);
}

class SchannelSession : public TlsSession {
  public:
    explicit SchannelSession(const TlsOptions& options) : options_(options) { set_up(); }

    ~SchannelSession() override {
        if (haveContext_) {
            DeleteSecurityContext(&context_);
        }
        if (haveCredentials_) {
            FreeCredentialsHandle(&credentials_);
        }
    }

    void feed(const std::uint8_t* bytes, std::size_t count) override {
        // What Schannel used goes before more comes: at most one partial
        // record is moved.
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(used_));
        used_ = 0;
        received_.insert(received_.end(), bytes, bytes + count);
    }

    Step handshake() override {
        if (failure_ == TlsFailure::None && state_ == State::Handshaking) {
            negotiate();
        }
        if (failure_ != TlsFailure::None) {
            return Step::Failed;
        }
        return state_ == State::Handshaking ? Step::Continue : Step::Done;
    }

    long read(std::uint8_t* plain, std::size_t room) override {
        for (;;) {
            if (plainTaken_ < plain_.size()) {
                std::size_t count = std::min(room, plain_.size() - plainTaken_);
                std::memcpy(plain, plain_.data() + plainTaken_, count);
                plainTaken_ += count;
                if (plainTaken_ == plain_.size()) {
                    plain_.clear();
                    plainTaken_ = 0;
                }
                return static_cast<long>(count);
            }
            if (failure_ != TlsFailure::None || closed_) {
                return -1;
            }
            if (state_ == State::PostHandshake && !negotiate()) {
                return -1;
            }
            if (state_ != State::Open || unused() == 0 || room == 0 || !decrypt()) {
                return failure_ != TlsFailure::None || closed_ ? -1 : 0;
            }
        }
    }

    bool write(const std::uint8_t* plain, std::size_t count) override {
        if (failure_ != TlsFailure::None || state_ == State::Handshaking || closed_) {
            return false;
        }
        while (count > 0) {
            std::size_t chunk = std::min<std::size_t>(count, sizes_.cbMaximumMessage);
            std::size_t start = output_.size();
            output_.resize(start + sizes_.cbHeader + chunk + sizes_.cbTrailer);
            std::uint8_t* record = output_.data() + start;
            std::memcpy(record + sizes_.cbHeader, plain, chunk);
            SecBuffer buffers[4] = {
                {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
                {static_cast<ULONG>(chunk), SECBUFFER_DATA, record + sizes_.cbHeader},
                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + chunk},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
            SECURITY_STATUS status = EncryptMessage(&context_, 0, &message, 0);
            if (status != SEC_E_OK) {
                output_.resize(start);
                fail(TlsFailure::Stream, describe(status));
                return false;
            }
            // The trailer may come out shorter than its room.
            output_.resize(start + sizes_.cbHeader + chunk + buffers[2].cbBuffer);
            plain += chunk;
            count -= chunk;
        }
        return true;
    }

    void close() override {
        if (state_ != State::Handshaking && failure_ == TlsFailure::None) {
            put_close_alert();
        }
    }

    void take_output(std::vector<std::uint8_t>& out) override {
        out.insert(out.end(), output_.begin(), output_.end());
        output_.clear();
    }

    bool closed() const override { return closed_; }
    TlsFailure failure() const override { return failure_; }
    const std::string& failure_text() const override { return failureText_; }

  private:
    // Handshaking until the first Done; PostHandshake while Schannel takes
    // handshake messages that came after it (TLS 1.3 session tickets).
    enum class State { Handshaking, Open, PostHandshake };

    void set_up() {
        if (options_.verify) {
            if (options_.serverName.empty()) {
                fail(TlsFailure::Setup, "no server name to check the certificate against");
                return;
            }
            if (!options_.caFile.empty()) {
                authorities_ = load_authorities(options_.caFile, failureText_);
                if (!authorities_) {
                    fail(TlsFailure::Setup, failureText_);
                    return;
                }
            }
        }
        // An address is not sent as the server's name (SNI takes names only).
        unsigned char address[16];
        std::size_t size = 0;
        if (!parse_ip_literal(options_.serverName, address, size)) {
            targetName_ = widen(options_.serverName);
        }
        SECURITY_STATUS status = acquire_credentials();
        if (status != SEC_E_OK) {
            fail(TlsFailure::Setup, "Schannel refused the TLS settings: " + describe(status));
        }
    }

    // SCH_CREDENTIALS where the system knows it (it is needed for TLS 1.3),
    // the older SCHANNEL_CRED otherwise; TLS 1.2 at least either way.
    SECURITY_STATUS acquire_credentials() {
        TLS_PARAMETERS parameters{};
        parameters.grbitDisabledProtocols = ~kProtocols;
        SCH_CREDENTIALS current{};
        current.dwVersion = SCH_CREDENTIALS_VERSION;
        current.dwFlags = kCredentialFlags;
        current.dwSessionLifespan = kSessionLifespanMs;
        current.cTlsParameters = 1;
        current.pTlsParameters = &parameters;
        SECURITY_STATUS status = acquire(&current);
        if (status == SEC_E_OK) {
            return status;
        }
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = kProtocols;
        older.dwFlags = kCredentialFlags;
        older.dwSessionLifespan = kSessionLifespanMs;
        return acquire(&older);
    }

    SECURITY_STATUS acquire(void* authData) {
        SECURITY_STATUS status = AcquireCredentialsHandleW(
            nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, authData,
            nullptr, nullptr, &credentials_, nullptr);
        haveCredentials_ = status == SEC_E_OK;
        return status;
    }

    void put_close_alert() {
        if (closeSent_) {
            return;
        }
        closeSent_ = true;
        DWORD shutdown = SCHANNEL_SHUTDOWN;
        SecBuffer token{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
        SecBufferDesc control{SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(&context_, &control) == SEC_E_OK) {
            step(nullptr);  // its output is the close alert
        }
    }

    // One InitializeSecurityContext call on `input` (null: none); what it
    // writes goes to the output.
    SECURITY_STATUS step(SecBufferDesc* input) {
        SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
        ULONG attributes = 0;
        SECURITY_STATUS status =
            InitializeSecurityContextW(&credentials_, haveContext_ ? &context_ : nullptr,
                                       targetName_.empty() ? nullptr : targetName_.data(), kRequest,
                                       0, 0, input, 0, &context_, &output, &attributes, nullptr);
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || haveContext_) {
            haveContext_ = true;
        }
        if (token.pvBuffer != nullptr) {
            const auto* bytes = static_cast<const std::uint8_t*>(token.pvBuffer);
            output_.insert(output_.end(), bytes, bytes + token.cbBuffer);
            FreeContextBuffer(token.pvBuffer);
        }
        return status;
    }

    std::size_t unused() const { return received_.size() - used_; }

    // Keeps the `extra` bytes at the end of what was received (Schannel did
    // not use them): a count from Schannel, checked against the buffer.
    void keep_unused(const SecBuffer& extra) {
        std::size_t keep = extra.BufferType == SECBUFFER_EXTRA ? extra.cbBuffer : 0;
        used_ = received_.size() - std::min(keep, unused());
    }

    // Runs the handshake as far as what was fed allows. False on failure.
    // Every round takes bytes (a server may send a record per message, or
    // split them finely), or the handshake is stuck.
    bool negotiate() {
        for (;;) {
            SECURITY_STATUS status;
            bool advanced = true;
            if (!haveContext_) {
                status = step(nullptr);  // the ClientHello
            } else {
                // Schannel is asked once at once after a post-handshake
                // message, which may have left nothing over for it.
                if (unused() == 0 && !stepNow_) {
                    return true;
                }
                const std::size_t before = unused();
                const bool asked = stepNow_;
                SecBuffer in[2] = {
                    {static_cast<ULONG>(unused()), SECBUFFER_TOKEN, received_.data() + used_},
                    {0, SECBUFFER_EMPTY, nullptr}};
                SecBufferDesc input{SECBUFFER_VERSION, 2, in};
                status = step(&input);
                stepNow_ = false;
                if (status == SEC_E_INCOMPLETE_MESSAGE) {
                    return true;
                }
                keep_unused(in[1]);
                advanced = asked || unused() < before;
            }
            if (status == SEC_E_OK) {
                return finish_handshake();
            }
            if (status != SEC_I_CONTINUE_NEEDED) {
                fail(state_ == State::Handshaking ? TlsFailure::Handshake : TlsFailure::Stream,
                     describe(status));
                return false;
            }
            if (!advanced) {
                fail(TlsFailure::Handshake, "the TLS handshake does not advance");
                return false;
            }
        }
    }

    bool finish_handshake() {
        if (state_ == State::PostHandshake) {
            state_ = State::Open;
            return true;
        }
        SECURITY_STATUS status =
            QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (status != SEC_E_OK || sizes_.cbMaximumMessage == 0) {
            fail(TlsFailure::Handshake, "no record sizes from Schannel: " + describe(status));
            return false;
        }
        if (!recent_protocol() || (!tls13_ && !strong_suite()) || (options_.verify && !verify())) {
            // Refused after a handshake Schannel completed: the server is
            // told the session ends, where OpenSSL would send its alert.
            put_close_alert();
            return false;
        }
        state_ = State::Open;
        return true;
    }

    // The floor is checked here too: a system may not apply the credentials'
    // protocol list (Wine's takes TLS 1.1 despite SCH_CREDENTIALS).
    bool recent_protocol() {
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
            fail(TlsFailure::Handshake, "Schannel does not tell the TLS version");
            return false;
        }
        tls13_ = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
        if ((info.dwProtocol & kProtocols) == 0) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "the server chose a TLS version older than 1.2 (Schannel's 0x%lX)",
                          static_cast<unsigned long>(info.dwProtocol));
            fail(TlsFailure::Handshake, text);
            return false;
        }
        return true;
    }

    // TLS 1.2 suites with forward secrecy and authenticated encryption only,
    // whatever the system's list offers (TLS 1.3 has no others). Told by name:
    // "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384".
    bool strong_suite() {
        SecPkgContext_CipherInfo info{};
        if (QueryContextAttributesW(&context_, SECPKG_ATTR_CIPHER_INFO, &info) != SEC_E_OK) {
            fail(TlsFailure::Handshake, "Schannel does not tell the cipher suite");
            return false;
        }
        std::wstring name(info.szCipherSuite, wcsnlen(info.szCipherSuite, SZ_ALG_MAX_SIZE));
        auto has = [&name](const wchar_t* part) { return name.find(part) != std::wstring::npos; };
        if ((has(L"_ECDHE_") || has(L"_DHE_")) && (has(L"_GCM_") || has(L"_CHACHA20_POLY1305_"))) {
            return true;
        }
        fail(TlsFailure::Handshake, "the server chose " + std::string(name.begin(), name.end()) +
                                        ", without forward secrecy or authenticated encryption");
        return false;
    }

    bool verify() {
        PCCERT_CONTEXT server = nullptr;
        SECURITY_STATUS status =
            QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
        if (status != SEC_E_OK || server == nullptr) {
            fail(TlsFailure::Certificate, "the server sent no certificate");
            return false;
        }
        std::string reason;
        bool accepted =
            check_server_certificate(server, authorities_.get(), options_.serverName, reason);
        CertFreeCertificateContext(server);
        if (!accepted) {
            fail(TlsFailure::Certificate, reason);
        }
        return accepted;
    }

    // Decrypts the first record of what was received. False when the rest
    // of the record must be fed first, or on failure or close.
    bool decrypt() {
        SecBuffer buffers[4] = {
            {static_cast<ULONG>(unused()), SECBUFFER_DATA, received_.data() + used_},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&context_, &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            return false;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
            fail(TlsFailure::Stream, describe(status));
            return false;
        }
        SecBuffer none{0, SECBUFFER_EMPTY, nullptr};
        const SecBuffer* extra = &none;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.pvBuffer != nullptr) {
                take_plain(buffer);
            } else if (buffer.BufferType == SECBUFFER_EXTRA) {
                extra = &buffer;
            }
        }
        keep_unused(*extra);
        if (status == SEC_I_CONTEXT_EXPIRED) {
            closed_ = true;  // the server's close alert
        } else if (status == SEC_I_RENEGOTIATE) {
            if (!tls13_) {
                fail(TlsFailure::Stream, "the server asked to renegotiate, which is refused");
                return false;
            }
            state_ = State::PostHandshake;
            stepNow_ = true;
        }
        return !closed_;
    }

    // Decrypted bytes lie inside `received_`: copied out only when Schannel's
    // pointer and count stay within it.
    void take_plain(const SecBuffer& data) {
        const auto* begin = static_cast<const std::uint8_t*>(data.pvBuffer);
        const std::uint8_t* limit = received_.data() + received_.size();
        if (begin >= received_.data() + used_ && begin <= limit &&
            data.cbBuffer <= static_cast<std::size_t>(limit - begin)) {
            plain_.insert(plain_.end(), begin, begin + data.cbBuffer);
        }
    }

    void fail(TlsFailure kind, const std::string& text) {
        failure_ = kind;
        failureText_ = text;
    }

    TlsOptions options_;
    std::wstring targetName_;  // empty for an address
    CertStore authorities_;    // the CA file's, or null for the system's
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool haveCredentials_ = false;
    bool haveContext_ = false;
    State state_ = State::Handshaking;
    bool tls13_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::vector<std::uint8_t> received_;  // Schannel has used it up to used_
    std::size_t used_ = 0;
    std::vector<std::uint8_t> plain_;  // decrypted, not read yet from plainTaken_
    std::size_t plainTaken_ = 0;
    std::vector<std::uint8_t> output_;
    bool closed_ = false;
    bool closeSent_ = false;
    bool stepNow_ = false;  // an InitializeSecurityContext call is due
    TlsFailure failure_ = TlsFailure::None;
    std::string failureText_;
};

}  // namespace

std::unique_ptr<TlsSession> open_tls_session(const TlsOptions& options) {
    return std::make_unique<SchannelSession>(options);
}

// Schannel is part of every Windows system.
bool tls_available(std::string* /*why*/) {
    return true;
}

}  // namespace palaver::platform
