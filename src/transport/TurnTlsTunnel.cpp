#include "transport/TurnTlsTunnel.h"

// GIO before any Qt header: Qt's "signals" keyword would break GIO's structures.
#include <gio/gio.h>

#include "platform/TrustedCertificates.h"
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <spdlog/spdlog.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <vector>

namespace veltrix {

// What the tunnel's connections share with it: the server they reach and the cancellable that
// ends them all when the tunnel goes. GLib calls back after cancellation too, so each callback
// holds this, not the tunnel.
struct TurnTlsTunnel::Shared {
    std::string host;
    std::uint16_t port = 0;
    GCancellable* cancellable = g_cancellable_new();
    ~Shared() { g_object_unref(cancellable); }
};

namespace {

struct Connection {
    std::shared_ptr<TurnTlsTunnel::Shared> shared;
    GSocketConnection* local = nullptr;
    GSocketConnection* remote = nullptr;
    ~Connection() {
        if (local) g_object_unref(local);
        if (remote) g_object_unref(remote);
    }
};

std::string pemOf(GTlsCertificate* certificate) {
    gchar* pem = nullptr;
    g_object_get(certificate, "certificate-pem", &pem, nullptr);
    std::string text = pem ? pem : "";
    g_free(pem);
    return text;
}

// The system's CAs are GLib's own; a deployment's extra CA (a test backend's among them) is known
// to this system only. A chain GLib finds fault with only for an unknown CA is accepted when it
// leads to one of this system's trusted CAs and names the host.
gboolean acceptCertificate(GTlsConnection*, GTlsCertificate* peer, GTlsCertificateFlags errors, gpointer data) {
    const auto& host = static_cast<TurnTlsTunnel::Shared*>(data)->host;
    if ((errors & ~G_TLS_CERTIFICATE_UNKNOWN_CA) != 0) return FALSE;
    X509_STORE* store = X509_STORE_new();
    for (const QSslCertificate& ca : platform::tls::trustedCaCertificates()) {
        const QByteArray der = ca.toDer();
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
        if (X509* certificate = d2i_X509(nullptr, &bytes, der.size())) {
            X509_STORE_add_cert(store, certificate);
            X509_free(certificate);
        }
    }
    STACK_OF(X509)* chain = sk_X509_new_null();
    X509* leaf = nullptr;
    for (GTlsCertificate* link = peer; link; ) {
        const std::string pem = pemOf(link);
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (certificate) {
            if (!leaf) leaf = certificate;
            else sk_X509_push(chain, certificate);
        }
        GTlsCertificate* issuer = nullptr;
        g_object_get(link, "issuer", &issuer, nullptr);
        if (link != peer) g_object_unref(link);
        link = issuer;
    }
    bool trusted = false;
    if (leaf) {
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        X509_VERIFY_PARAM* parameters = X509_STORE_get0_param(store);
        if (X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str()) != 1)
            X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), host.size());
        trusted = X509_STORE_CTX_init(context, store, leaf, chain) == 1 && X509_verify_cert(context) == 1;
        X509_STORE_CTX_free(context);
        X509_free(leaf);
    }
    sk_X509_pop_free(chain, X509_free);
    X509_STORE_free(store);
    if (!trusted) spdlog::warn("P2PTransport: the TURN server's certificate is not trusted for {}", host);
    return trusted ? TRUE : FALSE;
}

void onClientEvent(GSocketClient*, GSocketClientEvent event, GSocketConnectable*, GIOStream* connection, gpointer data) {
    if (event == G_SOCKET_CLIENT_TLS_HANDSHAKING && G_IS_TLS_CLIENT_CONNECTION(connection))
        g_signal_connect(connection, "accept-certificate", G_CALLBACK(acceptCertificate), data);
}

// TURN carries datagrams: each is written at once rather than held back to fill a segment.
void sendAtOnce(GSocketConnection* connection) {
    g_socket_set_option(g_socket_connection_get_socket(connection), IPPROTO_TCP, TCP_NODELAY, 1, nullptr);
}

void onSpliced(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Connection> connection(static_cast<Connection*>(data));
    g_io_stream_splice_finish(result, nullptr);
}

void onConnected(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Connection> connection(static_cast<Connection*>(data));
    GError* error = nullptr;
    connection->remote = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(source), result, &error);
    if (!connection->remote) {
        if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
            spdlog::warn("P2PTransport: TURN server {}:{} not reached over TLS: {}", connection->shared->host,
                         connection->shared->port, error ? error->message : "unknown error");
        if (error) g_error_free(error);
        return;  // dropping the local side tells ICE
    }
    sendAtOnce(connection->remote);
    GCancellable* cancellable = connection->shared->cancellable;
    GIOStream* local = G_IO_STREAM(connection->local);
    GIOStream* remote = G_IO_STREAM(connection->remote);
    g_io_stream_splice_async(local, remote,
                             static_cast<GIOStreamSpliceFlags>(G_IO_STREAM_SPLICE_CLOSE_STREAM1 |
                                                               G_IO_STREAM_SPLICE_CLOSE_STREAM2),
                             G_PRIORITY_DEFAULT, cancellable, onSpliced, connection.release());
}

gboolean onIncoming(GSocketService*, GSocketConnection* local, GObject*, gpointer data) {
    const auto& shared = *static_cast<std::shared_ptr<TurnTlsTunnel::Shared>*>(data);
    auto connection = std::make_unique<Connection>();
    connection->shared = shared;
    connection->local = G_SOCKET_CONNECTION(g_object_ref(local));
    sendAtOnce(connection->local);
    GSocketClient* client = g_socket_client_new();
    g_socket_client_set_tls(client, TRUE);
    g_signal_connect(client, "event", G_CALLBACK(onClientEvent), shared.get());
    g_socket_client_connect_to_host_async(client, shared->host.c_str(), shared->port, shared->cancellable, onConnected,
                                          connection.release());
    g_object_unref(client);
    return TRUE;
}

}  // namespace

TurnTlsTunnel::TurnTlsTunnel(std::string host, std::uint16_t port) : shared_(std::make_shared<Shared>()) {
    shared_->host = std::move(host);
    shared_->port = port;
    service_ = g_socket_service_new();
    GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* address = g_inet_socket_address_new(loopback, 0);
    GSocketAddress* bound = nullptr;
    GError* error = nullptr;
    if (g_socket_listener_add_address(G_SOCKET_LISTENER(service_), address, G_SOCKET_TYPE_STREAM,
                                      G_SOCKET_PROTOCOL_TCP, nullptr, &bound, &error)) {
        localPort_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
        g_object_unref(bound);
        g_signal_connect_data(service_, "incoming", G_CALLBACK(onIncoming), new std::shared_ptr<Shared>(shared_),
                              [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<Shared>*>(data); },
                              GConnectFlags(0));
        g_socket_service_start(service_);
    } else {
        spdlog::error("P2PTransport: no loopback port for the TURN-over-TLS tunnel: {}", error ? error->message : "");
        if (error) g_error_free(error);
    }
    g_object_unref(address);
    g_object_unref(loopback);
}

TurnTlsTunnel::~TurnTlsTunnel() {
    g_cancellable_cancel(shared_->cancellable);
    g_socket_service_stop(service_);
    g_socket_listener_close(G_SOCKET_LISTENER(service_));
    g_object_unref(service_);
}

}  // namespace veltrix
