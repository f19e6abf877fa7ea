// HTTPS: the protocol versions and suites the server takes, a handshake
// that never comes, and TLS files that cannot serve, refused by Check.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "gateway/core/config.h"
#include "gateway/http/http_server.h"
#include "tests/gateway/http/http_support.h"

namespace qor::gateway {
namespace {

// A fresh key (RSA, else P-256: quicker) and a certificate for 127.0.0.1
// signed by it, as PEM files; with a pass phrase, the key is encrypted.
struct TlsFiles {
    std::string cert;
    std::string key;
};

TlsFiles MakeTlsFiles(bool rsa, const char *pass_phrase = nullptr) {
    EVP_PKEY *key = rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
    X509 *x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    TlsFiles files{test::WriteFile(""), test::WriteFile("")};
    FILE *out = std::fopen(files.cert.c_str(), "w");
    PEM_write_X509(out, x);
    std::fclose(out);
    out = std::fopen(files.key.c_str(), "w");
    PEM_write_PrivateKey(out, key, pass_phrase ? EVP_aes_128_cbc() : nullptr, nullptr, 0, nullptr,
                         const_cast<char *>(pass_phrase));
    std::fclose(out);
    X509_free(x);
    EVP_PKEY_free(key);
    return files;
}

Config HttpsConfig(const TlsFiles &files, int port) {
    ConfigResult r = ParseConfig(
        std::string(test::kPlant) + "[http]\nlisten = \"127.0.0.1:" + std::to_string(port) +
            "\"\ntls_cert_file = \"" + files.cert + "\"\ntls_key_file = \"" + files.key + "\"\n",
        "g.toml", "/tmp");
    EXPECT_TRUE(r.config) << r.error;
    return r.config ? *r.config : Config{};
}

// Whether a handshake from a client that offers only versions min to max
// and these suites (OpenSSL's names; TLS 1.3's are its own) completes.
bool Handshakes(int port, int min, int max, const char *suites) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);  // old versions and suites offered at all
    SSL_CTX_set_min_proto_version(ctx, min);
    SSL_CTX_set_max_proto_version(ctx, max);
    if (max < TLS1_3_VERSION) {
        SSL_CTX_set_cipher_list(ctx, suites);
    }
    test::Held connection(port, "", "127.0.0.1");
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, connection.fd());
    bool done = SSL_connect(ssl) == 1;
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return done;
}

TEST(GatewayHttps, TakesTls12WithEcdheAndAeadAndTls13Only) {
    PlantState plant;
    Outputs outputs(plant);
    CommandIntake intake(outputs);
    HttpServer server(OutputServices{plant, intake, outputs},
                      {std::chrono::milliseconds(1500), std::chrono::milliseconds(200)});
    int port = test::FreePort();
    Config config = HttpsConfig(MakeTlsFiles(true), port);
    std::string why;
    ASSERT_EQ(server.Check(config), "");
    ASSERT_TRUE(server.Prepare(config, nullptr, &why)) << why;
    server.Commit();
    test::Held silent(port, "", "127.0.0.2");  // no handshake at all
    struct Case {
        int min;
        int max;
        const char *suites;
        bool taken;
    } cases[] = {
        {TLS1_3_VERSION, TLS1_3_VERSION, "", true},
        {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-RSA-AES128-GCM-SHA256", true},
        {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-RSA-CHACHA20-POLY1305", true},
        {TLS1_VERSION, TLS1_1_VERSION, "ALL", false},
        {TLS1_2_VERSION, TLS1_2_VERSION, "AES128-GCM-SHA256", false},     // RSA key exchange
        {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA", false},  // CBC, SHA-1
        {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA256", false},
        {TLS1_2_VERSION, TLS1_2_VERSION, "DHE-RSA-AES128-GCM-SHA256", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Handshakes(port, c.min, c.max, c.suites), c.taken) << c.suites << " " << c.max;
    }
    EXPECT_TRUE(silent.ClosedWithin(std::chrono::milliseconds(8000)));
}

// Files that load but could never serve: refused by --check and a reload
// alike, which ask Check.
TEST(GatewayHttps, RefusesAKeyThatIsNotTheCertificatesOrHasAPassPhrase) {
    PlantState plant;
    Outputs outputs(plant);
    CommandIntake intake(outputs);
    HttpServer server(OutputServices{plant, intake, outputs});
    TlsFiles good = MakeTlsFiles(false);
    TlsFiles other = MakeTlsFiles(false);
    TlsFiles locked = MakeTlsFiles(false, "pass phrase");
    struct Case {
        TlsFiles files;
        const char *reason;
    } cases[] = {
        {{good.cert, other.key}, "is not the key of the certificate"},
        {{locked.cert, locked.key}, "no PEM private key without a pass phrase"},
        {{good.cert, good.cert}, "no PEM private key"},
        {{good.key, good.key}, "holds no PEM certificate"},
    };
    for (const Case &c : cases) {
        std::string why = server.Check(HttpsConfig(c.files, 8443));
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.reason << ": " << why;
    }
    EXPECT_EQ(server.Check(HttpsConfig(good, 8443)), "");
}

}  // namespace
}  // namespace qor::gateway
