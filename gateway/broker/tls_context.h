// The broker connection's TLS, in an OpenSSL context of the gateway's own
// that libmosquitto is given (MOSQ_OPT_SSL_CTX, without its defaults).
// libmosquitto checks a certificate against, and sends as the server name,
// the very string it connects to; the session connects to an address it
// looked up itself (resolve.h), so the configured name is put on each
// handshake here: the certificate must carry it (OpenSSL's host check, or
// its IP check for a numeric host) and it goes out as SNI.
#ifndef QOR_GATEWAY_TLS_CONTEXT_H
#define QOR_GATEWAY_TLS_CONTEXT_H

#include <string>

#include "gateway/core/config.h"

struct ssl_ctx_st;
struct ssl_st;

namespace qor::gateway {

class TlsContext {
  public:
    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // Loads the CA file, and the client certificate and key when given;
    // the reason when one cannot be loaded, and nothing is kept then.
    std::string Load(const BrokerSpec &broker);
    bool Loaded() const { return ctx_ != nullptr; }
    ssl_ctx_st *Get() const { return ctx_; }
    // The name (or address) the next handshake's certificate must carry.
    void SetPeer(const std::string &host) { peer_ = host; }

  private:
    static void OnInfo(const ssl_st *ssl, int where, int ret);

    ssl_ctx_st *ctx_ = nullptr;
    std::string peer_;
};

}  // namespace qor::gateway

#endif
