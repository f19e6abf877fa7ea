#include "gateway/broker/tls_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace qor::gateway {

namespace {

// OpenSSL's reason for the last failure, after what failed.
std::string Failed(const std::string &what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return what;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + " (" + text + ")";
}

bool IsAddress(const std::string &host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

std::string TlsContext::Load(const BrokerSpec &b) {
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        return Failed("TLS: cannot make a context");
    }
    std::string error;
    if (SSL_CTX_load_verify_locations(ctx, b.tls_ca_file.c_str(), nullptr) != 1) {
        error = Failed("TLS: cannot load the CA file " + b.tls_ca_file);
    } else if (!b.tls_cert_file.empty() &&
               SSL_CTX_use_certificate_chain_file(ctx, b.tls_cert_file.c_str()) != 1) {
        error = Failed("TLS: cannot load the certificate file " + b.tls_cert_file);
    } else if (!b.tls_key_file.empty() &&
               (SSL_CTX_use_PrivateKey_file(ctx, b.tls_key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_check_private_key(ctx) != 1)) {
        error = Failed("TLS: cannot load the key file " + b.tls_key_file);
    }
    if (!error.empty()) {
        SSL_CTX_free(ctx);
        return error;
    }
    // The chain is checked against the CA, the name in OnInfo.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_app_data(ctx, this);
    SSL_CTX_set_info_callback(ctx, OnInfo);
    SSL_CTX_free(ctx_);
    ctx_ = ctx;
    return "";
}

// At the start of a handshake, before the ClientHello is made: libmosquitto
// has set the address it connected to as the server name; the configured
// name replaces it, and is what the certificate must carry.
void TlsContext::OnInfo(const SSL *ssl, int where, int /*ret*/) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0) {
        return;
    }
    auto *self = static_cast<TlsContext *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    SSL *s = const_cast<SSL *>(ssl);
    if (self == nullptr || self->peer_.empty()) {
        return;
    }
    X509_VERIFY_PARAM *param = SSL_get0_param(s);
    bool checked = false;
    if (IsAddress(self->peer_)) {
        checked = X509_VERIFY_PARAM_set1_ip_asc(param, self->peer_.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        checked = SSL_set_tlsext_host_name(s, self->peer_.c_str()) == 1 &&
                  X509_VERIFY_PARAM_set1_host(param, self->peer_.c_str(), 0) == 1;
    }
    if (!checked) {
        // A name that cannot be checked fails the handshake rather than
        // leaving the certificate's name unchecked.
        SSL_set_verify(s, SSL_VERIFY_PEER, [](int, X509_STORE_CTX *) { return 0; });
    }
}

}  // namespace qor::gateway
