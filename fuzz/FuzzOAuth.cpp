// libFuzzer target for the two things a sign-in reads from outside: the browser's request to the loopback
// listener and the token endpoint's answer. Input: a status byte (below 128: HTTP 200, else 400 + byte % 100),
// the request head, a NUL, the answer's body. A request whose state is not the sign-in's must never be taken
// (nor its code); an answer without a non-empty access_token string must never give a token, and an answer
// that gives none must say why.
#include "oauth/LoopbackReceiver.h"
#include "oauth/TokenEndpoint.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QByteArray State = "Zq3-_x9KvT0aLwB7";

[[noreturn]] void Trap(const char* what, const QByteArray& input) {
    std::fprintf(stderr, "%s: %s\n", what, input.left(300).toPercentEncoding(" /?&=:").constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const int status = data[0] < 128 ? 200 : 400 + data[0] % 100;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));
    const qsizetype nul = input.indexOf('\0');
    const QByteArray head = nul < 0 ? input : input.left(nul);
    const QByteArray body = nul < 0 ? QByteArray() : input.mid(nul + 1);

    // The sign-in reads state and code from the query the listener hands on.
    for (const QByteArray& state : {State, QByteArray()}) {
        const std::optional<QUrlQuery> query = TLoopbackReceiver::RedirectQuery(head, state);
        if (query && !state.isEmpty() &&
            query->queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != QString::fromLatin1(state))
            Trap("a request with another state was taken", head);
    }

    const TTokenEndpoint::TReply reply = TTokenEndpoint::Parse(status, body);
    const QJsonValue token = QJsonDocument::fromJson(body).object().value(QLatin1String("access_token"));
    const bool hasToken = status == 200 && token.isString() && !token.toString().isEmpty();
    if (!hasToken && (reply.Ok || !reply.Tokens.AccessToken.isEmpty()))
        Trap("an answer without an access token gave one", body);
    if (hasToken && (!reply.Ok || reply.Tokens.AccessToken != token.toString().toUtf8()))
        Trap("an answer's access token was not taken as it is", body);
    if (!reply.Ok && reply.Reason().isEmpty())
        Trap("an answer without a token does not say why", body);
    return 0;
}
