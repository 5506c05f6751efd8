#include "mail/IdIOHandlerTLS.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>

#include "platform/Exception.h"

namespace {

using TClock = std::chrono::steady_clock;

struct TCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct TSslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct TNamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};
struct TMethodFree {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

constexpr std::size_t ChunkBytes = 32768;

bool IsIPAddress(const AnsiString& host) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The names a certificate is for: its DNS and IP alternative names, else its
// common name; for the host name mismatch message.
AnsiString CertificateNames(X509* cert) {
    AnsiString names;
    auto add = [&](const AnsiString& name) {
        if (!name.empty()) names += (names.empty() ? "" : ", ") + name;
    };
    std::unique_ptr<GENERAL_NAMES, TNamesFree> alt(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    if (alt) {
        for (int i = 0; i < sk_GENERAL_NAME_num(alt.get()); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt.get(), i);
            if (name->type == GEN_DNS) {
                const ASN1_STRING* s = name->d.dNSName;
                add(AnsiString(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                               static_cast<std::size_t>(ASN1_STRING_length(s))));
            } else if (name->type == GEN_IPADD) {
                const ASN1_STRING* s = name->d.iPAddress;
                char text[INET6_ADDRSTRLEN] = {};
                int family = ASN1_STRING_length(s) == 4 ? AF_INET : AF_INET6;
                if (ASN1_STRING_length(s) == 4 || ASN1_STRING_length(s) == 16)
                    if (::inet_ntop(family, ASN1_STRING_get0_data(s), text, sizeof text)) add(text);
            }
        }
    }
    if (names.empty()) {
        char cn[256] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0) add(cn);
    }
    return names.empty() ? AnsiString("no name") : names;
}

AnsiString OpenSSLReason(unsigned long error) {
    const char* reason = ERR_reason_error_string(error);
    if (reason) return reason;
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

} // namespace

struct TIdIOHandlerTLS::TState {
    std::string Sealed; // what OpenSSL wrote to Out, not yet on the socket; outlives Ssl
    std::unique_ptr<SSL_CTX, TCtxFree> Ctx;
    std::unique_ptr<SSL, TSslFree> Ssl;
    BIO* In = nullptr;  // owned by Ssl: bytes from the socket for OpenSSL
    BIO* Out = nullptr; // owned by Ssl: appends to Sealed
    bool Active = false;    // handshake done
    bool PeerClosed = false; // close notice or end of stream seen
    bool SocketEof = false;
    AnsiString ReadError;    // a TLS failure seen while reading, raised by Recv
    std::string Plain;       // decrypted bytes not yet taken by Recv
    std::size_t PlainOffset = 0;
    // The verification failure of the handshake, as the callback saw it.
    int VerifyError = X509_V_OK;
    AnsiString LeafNames;

    std::size_t PlainSize() const { return Plain.size() - PlainOffset; }
};

namespace {

int VerifyCallback(int ok, X509_STORE_CTX* store) {
    if (ok) return ok;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* state = ssl ? static_cast<TIdIOHandlerTLS::TState*>(SSL_get_app_data(ssl)) : nullptr;
    if (state && state->VerifyError == X509_V_OK) {
        state->VerifyError = X509_STORE_CTX_get_error(store);
        if (X509* leaf = X509_STORE_CTX_get0_cert(store)) state->LeafNames = CertificateNames(leaf);
    }
    return ok;
}

// Milliseconds left until `deadline`; -1 without one.
int Remaining(const std::optional<TClock::time_point>& deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - TClock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

std::optional<TClock::time_point> DeadlineAfter(int timeoutMs) {
    if (timeoutMs <= 0) return std::nullopt;
    return TClock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace

TIdIOHandlerTLS::TIdIOHandlerTLS(std::shared_ptr<TIdStack> stack)
    : TIdIOHandlerSocket(std::move(stack)), FState(std::make_unique<TState>()) {}

TIdIOHandlerTLS::~TIdIOHandlerTLS() = default; // the socket closes with its handle, without a close notice

bool TIdIOHandlerTLS::TLSActive() const { return FState->Active; }

AnsiString TIdIOHandlerTLS::ProtocolName() const {
    return FState->Active ? AnsiString(SSL_get_version(FState->Ssl.get())) : AnsiString();
}

void TIdIOHandlerTLS::Open() {
    FState = std::make_unique<TState>();
    TIdIOHandlerSocket::Open();
}

namespace {

// OpenSSL's output goes into a string that FlushOut sends from in place. A
// memory BIO would zero every byte it grows by and have each byte copied out
// once more, which costs a large attachment about a tenth of its rate over TLS.
int SealedWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    try {
        static_cast<std::string*>(BIO_get_data(bio))->append(data, static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return -1; // no exception may cross OpenSSL
    }
    return length;
}

long SealedCtrl(BIO* bio, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1; // FlushOut sends
    case BIO_CTRL_PENDING:
    case BIO_CTRL_WPENDING:
        return static_cast<long>(static_cast<std::string*>(BIO_get_data(bio))->size());
    default:
        return 0;
    }
}

// A BIO that appends what OpenSSL writes to `sealed`; null when out of memory.
BIO* NewSealedBio(std::string& sealed) {
    static const std::unique_ptr<BIO_METHOD, TMethodFree> method = [] {
        const int index = BIO_get_new_index();
        BIO_METHOD* m = index == -1 ? nullptr : BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "quorvel TLS output");
        if (m && (BIO_meth_set_write(m, SealedWrite) != 1 || BIO_meth_set_ctrl(m, SealedCtrl) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return std::unique_ptr<BIO_METHOD, TMethodFree>(m);
    }();
    BIO* bio = method ? BIO_new(method.get()) : nullptr;
    if (bio) {
        BIO_set_data(bio, &sealed);
        BIO_set_init(bio, 1);
    }
    return bio;
}

// Sends what OpenSSL has written; raises the socket error. The bytes a failed
// send leaves stay, so that a later flush (the close notice) goes on from them.
void FlushOut(TIdStack& stack, TIdStackSocketHandle socket, std::string& sealed) {
    std::size_t sent = 0;
    while (sent < sealed.size()) {
        ssize_t done = stack.WSSend(socket, sealed.data() + sent, sealed.size() - sent);
        if (done == Id_SOCKET_ERROR || done == 0) {
            const int code = done == 0 ? 0 : stack.WSGetLastError();
            sealed.erase(0, sent);
            if (done == 0) throw EIdConnClosedGracefully();
            TIdStack::RaiseSocketError(code);
        }
        sent += static_cast<std::size_t>(done);
    }
    sealed.clear();
}

enum class TFeed { Data, TimedOut, Eof };

// Waits for the socket and hands what arrives to OpenSSL.
TFeed FeedIn(TIdStack& stack, TIdStackSocketHandle socket, BIO* in, const std::optional<TClock::time_point>& deadline) {
    int ready = stack.CheckForSocketError(stack.WSWaitReadable(socket, Remaining(deadline)));
    if (ready == 0) return TFeed::TimedOut;
    char buffer[ChunkBytes];
    ssize_t n = stack.WSRecv(socket, buffer, sizeof buffer);
    if (n == Id_SOCKET_ERROR) {
        int code = stack.WSGetLastError();
        if (code == Id_WSAECONNRESET || code == Id_WSAECONNABORTED || code == Id_WSAESHUTDOWN) return TFeed::Eof;
        TIdStack::RaiseSocketError(code);
    }
    if (n == 0) return TFeed::Eof;
    BIO_write(in, buffer, static_cast<int>(n));
    return TFeed::Data;
}

} // namespace

void TIdIOHandlerTLS::StartTLS(const AnsiString& hostName, int timeoutMs) {
    if (!Connected()) throw EIdClosedSocket();
    if (FState->Active) return;
    TState& st = *FState;
    auto fail = [&](const AnsiString& what) {
        // Closed without a close notice: after a failed handshake nothing more
        // may go out on this socket.
        st.Ssl.reset();
        st.Ctx.reset();
        TIdIOHandlerSocket::Close();
        throw EIdTLSHandshakeError("TLS handshake failed: " + what);
    };
    ERR_clear_error();
    st.Ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!st.Ctx) fail(OpenSSLReason(ERR_get_error()));
    SSL_CTX_set_min_proto_version(st.Ctx.get(), TLS1_2_VERSION);
    if (VerifyPeer) {
        SSL_CTX_set_default_verify_paths(st.Ctx.get());
        if (!CAFile.empty() && SSL_CTX_load_verify_locations(st.Ctx.get(), CAFile.c_str(), nullptr) != 1)
            fail(Format("cannot read the CA file \"%s\" (%s)", CAFile.c_str(), OpenSSLReason(ERR_get_error()).c_str()));
        SSL_CTX_set_verify(st.Ctx.get(), SSL_VERIFY_PEER, VerifyCallback);
    } else {
        SSL_CTX_set_verify(st.Ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    st.Ssl.reset(SSL_new(st.Ctx.get()));
    if (!st.Ssl) fail(OpenSSLReason(ERR_get_error()));
    SSL* ssl = st.Ssl.get();
    SSL_set_app_data(ssl, &st);
    SSL_set_mode(ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    st.In = BIO_new(BIO_s_mem());
    st.Out = NewSealedBio(st.Sealed);
    if (!st.In || !st.Out) {
        BIO_free(st.In);
        BIO_free(st.Out);
        st.In = st.Out = nullptr;
        fail("out of memory");
    }
    SSL_set_bio(ssl, st.In, st.Out);
    const bool ip = IsIPAddress(hostName);
    // SSL_set_tlsext_host_name spelled out: the macro casts in C style.
    if (!ip && !hostName.empty())
        SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(hostName.c_str()));
    if (VerifyPeer) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, hostName.c_str())
                     : X509_VERIFY_PARAM_set1_host(param, hostName.c_str(), hostName.size());
        if (set != 1) fail("the host name \"" + hostName + "\" cannot be checked");
    }
    SSL_set_connect_state(ssl);

    const auto deadline = DeadlineAfter(timeoutMs);
    const TIdStackSocketHandle socket = Binding()->Handle();
    for (;;) {
        ERR_clear_error();
        int r = SSL_do_handshake(ssl);
        int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
        unsigned long reason = ERR_peek_last_error();
        try {
            FlushOut(Stack(), socket, st.Sealed); // also the alert of a failed handshake
        } catch (const EIdException& e) {
            if (r == 1 || error == SSL_ERROR_WANT_READ) fail(e.Message);
        }
        if (r == 1) break;
        if (error == SSL_ERROR_WANT_READ && !st.SocketEof) {
            TFeed feed = TFeed::Eof;
            try {
                feed = FeedIn(Stack(), socket, st.In, deadline);
            } catch (const EIdException& e) {
                fail(e.Message);
            }
            if (feed == TFeed::TimedOut) fail("Read Timeout");
            if (feed == TFeed::Eof) {
                st.SocketEof = true;
                BIO_set_mem_eof_return(st.In, 0);
            }
            continue;
        }
        if (st.VerifyError == X509_V_ERR_HOSTNAME_MISMATCH || st.VerifyError == X509_V_ERR_IP_ADDRESS_MISMATCH)
            fail("host name mismatch (certificate is for " + st.LeafNames + ")");
        if (st.VerifyError != X509_V_OK)
            fail(AnsiString("certificate verify failed (") + X509_verify_cert_error_string(st.VerifyError) + ")");
        if (st.SocketEof && (reason == 0 || ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING))
            fail("connection closed by the server");
        fail(reason ? OpenSSLReason(reason) : AnsiString("protocol error"));
    }
    st.Active = true;
}

int TIdIOHandlerTLS::Readable(int timeoutMs) {
    if (!FState->Active) return TIdIOHandlerSocket::Readable(timeoutMs);
    if (!Connected()) throw EIdClosedSocket();
    TState& st = *FState;
    if (st.PlainSize() > 0 || st.PeerClosed || !st.ReadError.empty()) return 1;
    const auto deadline = DeadlineAfter(timeoutMs);
    const TIdStackSocketHandle socket = Binding()->Handle();
    if (st.Plain.size() == st.PlainOffset) {
        st.Plain.clear();
        st.PlainOffset = 0;
    }
    char buffer[ChunkBytes];
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(st.Ssl.get(), buffer, sizeof buffer);
        int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(st.Ssl.get(), n);
        unsigned long reason = ERR_peek_last_error();
        FlushOut(Stack(), socket, st.Sealed); // a key update may want an answer
        if (n > 0) {
            st.Plain.append(buffer, static_cast<std::size_t>(n));
            return 1;
        }
        if (error == SSL_ERROR_WANT_READ && !st.SocketEof) {
            TFeed feed = FeedIn(Stack(), socket, st.In, deadline);
            if (feed == TFeed::TimedOut) return 0;
            if (feed == TFeed::Eof) {
                st.SocketEof = true;
                BIO_set_mem_eof_return(st.In, 0);
            }
            continue;
        }
        // A server that just closes the socket ends the stream like one that says
        // goodbye first: replies are lines, so nothing can be cut off unnoticed.
        if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_WANT_READ || st.SocketEof) {
            st.PeerClosed = true;
            return 1;
        }
        st.ReadError = "TLS error: " + (reason ? OpenSSLReason(reason) : AnsiString("protocol error"));
        return 1;
    }
}

ssize_t TIdIOHandlerTLS::Recv(void* buffer, std::size_t length) {
    if (!FState->Active) return TIdIOHandlerSocket::Recv(buffer, length);
    if (!Connected()) throw EIdClosedSocket();
    TState& st = *FState;
    if (st.PlainSize() == 0 && !st.PeerClosed && st.ReadError.empty()) Readable(-1);
    if (st.PlainSize() > 0) {
        std::size_t n = std::min(length, st.PlainSize());
        std::memcpy(buffer, st.Plain.data() + st.PlainOffset, n);
        st.PlainOffset += n;
        return static_cast<ssize_t>(n);
    }
    if (!st.ReadError.empty()) throw EIdTLSError(st.ReadError);
    return 0;
}

ssize_t TIdIOHandlerTLS::Send(const void* data, std::size_t length) {
    if (!FState->Active) return TIdIOHandlerSocket::Send(data, length);
    if (!Connected()) throw EIdClosedSocket();
    if (length == 0) return 0;
    TState& st = *FState;
    const TIdStackSocketHandle socket = Binding()->Handle();
    // The socket's own send time-out bounds each send; the memory buffer never blocks.
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
    for (;;) {
        ERR_clear_error();
        int n = SSL_write(st.Ssl.get(), data, chunk);
        int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(st.Ssl.get(), n);
        unsigned long reason = ERR_peek_last_error();
        FlushOut(Stack(), socket, st.Sealed);
        if (n > 0) return n;
        if (error == SSL_ERROR_WANT_WRITE) continue;
        if (error == SSL_ERROR_WANT_READ) {
            // Renegotiation is off in TLS 1.3 and refused by OpenSSL's defaults; a
            // write that wants to read first waits like a read.
            if (st.SocketEof || FeedIn(Stack(), socket, st.In, DeadlineAfter(Binding()->SendTimeout())) != TFeed::Data)
                throw EIdTLSError("TLS error: the server stopped answering");
            continue;
        }
        throw EIdTLSError("TLS error: " + (reason ? OpenSSLReason(reason) : AnsiString("protocol error")));
    }
}

void TIdIOHandlerTLS::Close() {
    TState& st = *FState;
    if (st.Active && Connected() && !st.PeerClosed && st.ReadError.empty()) {
        try {
            ERR_clear_error();
            SSL_shutdown(st.Ssl.get());
            FlushOut(Stack(), Binding()->Handle(), st.Sealed);
        } catch (const EIdException&) {
            // The peer may be gone; the socket closes all the same.
        }
    }
    ERR_clear_error();
    FState = std::make_unique<TState>();
    TIdIOHandlerSocket::Close();
}
