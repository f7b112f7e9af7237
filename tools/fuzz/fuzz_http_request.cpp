// The framing of a request as the bridge's HTTP server reads it, with and without the peer's
// end of stream, and the answer the server builds from it.
#include "server/HTTPServer.h"
#include "server/HttpRequestParser.h"
#include "tools/fuzz/FuzzInput.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Never destroyed: its queue's thread cannot be joined once exit() runs.
    static const HTTPServer& server = *new HTTPServer(
        0, {{"/status", [] { return QByteArray("{}"); }}}, {{"/frame.raw", [] { return QByteArray(); }}},
        {{"/event", [](const QByteArray& body) { return body; }}});
    const QByteArray buffer = fuzz::bytes(data, size);
    for (bool peerDone : {false, true}) {
        const ParseResult parsed = HttpRequestParser::parse(buffer, peerDone);
        if (parsed.outcome != ParseOutcome::Complete)
            continue;
        if (parsed.request.body.size() > buffer.size())
            std::abort();
        const QByteArray answer =
            server.response(parsed.request.method, parsed.request.path, parsed.request.body);
        if (!answer.startsWith("HTTP/1.1 "))
            std::abort();
    }
    return 0;
}
