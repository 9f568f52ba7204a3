#include <winsock2.h>
#include <ws2tcpip.h>

#include "lib/platform/schannel_certificate.h"

#include <wininet.h>  // SECURITY_FLAG_IGNORE_UNKNOWN_CA

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace palaver::platform {
namespace {

struct ChainFreer {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer>;

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kEnd[] = "-----END CERTIFICATE-----";

bool add_pem_block(HCERTSTORE store, const std::string& block) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> der(size);
    return CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
           CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                            CERT_STORE_ADD_USE_EXISTING, nullptr);
}

// True when `store` holds a certificate with exactly the bytes of `cert`:
// a look-up by issuer and serial would take a forged look-alike.
bool holds_exactly(HCERTSTORE store, PCCERT_CONTEXT cert) {
    PCCERT_CONTEXT candidate = nullptr;
    while ((candidate = CertEnumCertificatesInStore(store, candidate)) != nullptr) {
        if (candidate->cbCertEncoded == cert->cbCertEncoded &&
            std::memcmp(candidate->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0) {
            CertFreeCertificateContext(candidate);
            return true;
        }
    }
    return false;
}

PCCERT_CONTEXT chain_end(PCCERT_CHAIN_CONTEXT chain) {
    const CERT_SIMPLE_CHAIN* last = chain->rgpChain[chain->cChain - 1];
    return last->rgpElement[last->cElement - 1]->pCertContext;
}

// The chain from `server` upwards, from what the server sent and the
// authorities when given.
Chain build_chain(PCCERT_CONTEXT server, HCERTSTORE authorities) {
    CertStore extra(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (!extra) {
        return nullptr;
    }
    CertAddStoreToCollection(extra.get(), server->hCertStore, 0, 0);
    if (authorities != nullptr) {
        CertAddStoreToCollection(extra.get(), authorities, 0, 0);
    }
    static char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // No issuer is fetched from the network: the server sends its chain, and
    // a login does not wait on a third party's web server.
    if (!CertGetCertificateChain(nullptr, server, nullptr, extra.get(), &para,
                                 CERT_CHAIN_DISABLE_AIA, nullptr, &chain)) {
        return nullptr;
    }
    return Chain(chain);
}

// The SSL policy's verdict: trust (unless `anchored` in the host's own
// authorities), dates, usage, and the host name when `name` is not null.
DWORD ssl_policy_error(PCCERT_CHAIN_CONTEXT chain, bool anchored, const wchar_t* name) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = anchored ? SECURITY_FLAG_IGNORE_UNKNOWN_CA : 0;
    ssl.pwszServerName = const_cast<wchar_t*>(name);
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = CERT_CHAIN_POLICY_IGNORE_NOT_TIME_NESTED_FLAG;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)) {
        return static_cast<DWORD>(CERT_E_CHAINING);
    }
    return status.dwError;
}

// The chain engine's own verdict. The SSL policy alone is not enough: some
// implementations of it (Wine's) pass a chain that ends short of any root.
DWORD chain_error(PCCERT_CHAIN_CONTEXT chain, bool anchored) {
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    // Revocation is not asked for, so its status is unknown by design; and a
    // certificate may outlive its issuer's (Windows no longer reports that,
    // Wine does).
    errors &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                  CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED);
    if (anchored) {
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    }
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
        return static_cast<DWORD>(CERT_E_EXPIRED);
    }
    if (errors & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT)) {
        return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    }
    if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        return static_cast<DWORD>(CERT_E_WRONG_USAGE);
    }
    return errors == 0 ? 0 : static_cast<DWORD>(TRUST_E_FAIL);
}

// Whether the certificate's alternative names hold the address itself.
bool names_address(PCCERT_CONTEXT cert, const unsigned char* address, std::size_t size) {
    const CERT_INFO* info = cert->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr) {
        return false;
    }
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD namesSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &namesSize)) {
        return false;
    }
    std::unique_ptr<CERT_ALT_NAME_INFO, LocalFreer> owned(names);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == size &&
            std::memcmp(entry.IPAddress.pbData, address, size) == 0) {
            return true;
        }
    }
    return false;
}

std::string policy_reason(DWORD error, const std::string& serverName) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return "the server's certificate has expired or is not valid yet";
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return "the server's certificate is not for " + serverName;
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
            return "the server's certificate is not issued by a trusted authority";
        case static_cast<DWORD>(CERT_E_WRONG_USAGE):
            return "the server's certificate is not for TLS servers";
        default: {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(error));
            return std::string("the server's certificate was refused (") + code + ")";
        }
    }
}

}  // namespace

std::wstring widen(const std::string& text) {
    int size =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            size);
    }
    return wide;
}

CertStore load_authorities(const std::string& pemFile, std::string& error) {
    std::ifstream file(pemFile, std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file) {
        error = "cannot read the CA file " + pemFile;
        return nullptr;
    }
    CertStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!store) {
        error = "cannot make a certificate store";
        return nullptr;
    }
    bool any = false;
    for (std::size_t begin = pem.find(kBegin); begin != std::string::npos;
         begin = pem.find(kBegin, begin + 1)) {
        std::size_t end = pem.find(kEnd, begin);
        if (end == std::string::npos) {
            break;
        }
        end += sizeof kEnd - 1;
        if (!add_pem_block(store.get(), pem.substr(begin, end - begin))) {
            error = "the CA file " + pemFile + " holds a certificate that cannot be read";
            return nullptr;
        }
        any = true;
    }
    if (!any) {
        error = "the CA file " + pemFile + " holds no certificate";
        return nullptr;
    }
    return store;
}

bool parse_ip_literal(const std::string& name, unsigned char (&address)[16], std::size_t& size) {
    std::string text = name;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (text.empty() || getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    bool ok = true;
    if (found->ai_family == AF_INET) {
        size = 4;
        std::memcpy(address, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, 4);
    } else if (found->ai_family == AF_INET6) {
        size = 16;
        std::memcpy(address, &reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr, 16);
    } else {
        ok = false;
    }
    freeaddrinfo(found);
    return ok;
}

bool check_server_certificate(PCCERT_CONTEXT server, HCERTSTORE authorities,
                              const std::string& serverName, std::string& reason) {
    Chain chain = build_chain(server, authorities);
    if (!chain || chain->cChain == 0) {
        reason = "cannot build the server certificate's chain";
        return false;
    }
    bool anchored = false;
    if (authorities != nullptr) {
        anchored = holds_exactly(authorities, chain_end(chain.get()));
        if (!anchored) {
            reason = "the server's certificate is not issued by an authority of the CA file";
            return false;
        }
    }
    // An address is matched here against the certificate's IP entries: the
    // policy's own name check compares host names only.
    unsigned char address[16];
    std::size_t addressSize = 0;
    bool isAddress = parse_ip_literal(serverName, address, addressSize);
    std::wstring wideName = widen(serverName);
    DWORD error = chain_error(chain.get(), anchored);
    if (error == 0) {
        error = ssl_policy_error(chain.get(), anchored, isAddress ? nullptr : wideName.c_str());
    }
    if (error == 0 && isAddress && !names_address(server, address, addressSize)) {
        error = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
    }
    if (error != 0) {
        reason = policy_reason(error, serverName);
        return false;
    }
    return true;
}

}  // namespace palaver::platform
