#include "hook/HookForwarder.h"

#include "hook/HookPayload.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace glimmet {

namespace {

// The agent's whole budget is 2 s; the last 100 ms are left for the exit itself.
constexpr auto budget = std::chrono::milliseconds(1900);
constexpr size_t maxPayload = size_t(64) << 20;
constexpr size_t maxStatusLine = 4096;

class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds budget)
        : end(std::chrono::steady_clock::now() + budget) {}

    // Milliseconds left, for poll(): 0 once the deadline has passed.
    int remaining() const {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

private:
    const std::chrono::steady_clock::time_point end;
};

// One line on standard error, whatever the payload put into `text`.
void warn(const char* program, std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c >= 0 && c < 0x20; }, ' ');
    const std::string line = std::string(program) + ": " + text + '\n';
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

// Waits for `events` on `fd` until the deadline: true when they came.
bool await(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd wanted{fd, events, 0};
        const int ready = ::poll(&wanted, 1, deadline.remaining());
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

// Standard input to its end; none when it does not end by the deadline, fails, or grows
// past 64 MiB.
std::optional<std::string> readStandardInput(const Deadline& deadline) {
    std::string data;
    char buffer[65536];
    for (;;) {
        if (!await(STDIN_FILENO, POLLIN, deadline))
            return std::nullopt;
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 || data.size() + size_t(n) > maxPayload)
            return std::nullopt;
        if (n == 0)
            return data;
        data.append(buffer, size_t(n));
    }
}

// An http:// address: where to connect, what to name in the Host header, and the path.
struct Url {
    std::string host, port, authority, path;
};

std::optional<Url> parseUrl(std::string_view text) {
    constexpr std::string_view scheme = "http://";
    if (text.size() < scheme.size() ||
        !std::equal(scheme.begin(), scheme.end(), text.begin(),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? char(b + 32) : b); }))
        return std::nullopt;
    text.remove_prefix(scheme.size());
    const size_t pathStart = std::min(text.find_first_of("/?#"), text.size());
    Url url;
    std::string_view authority = text.substr(0, pathStart);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    url.authority = authority;
    std::string_view port;
    if (authority.starts_with('[')) { // an IPv6 address
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        url.host = authority.substr(1, close - 1);
        if (authority.size() > close + 1 && authority[close + 1] != ':')
            return std::nullopt;
        port = authority.substr(std::min(close + 2, authority.size()));
    } else {
        const size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    }
    url.port = port.empty() ? "80" : std::string(port);
    const bool numeric =
        url.port.size() <= 5 && url.port.find_first_not_of("0123456789") == std::string::npos;
    if (url.host.empty() || !numeric || std::stoi(url.port) < 1 || std::stoi(url.port) > 65535)
        return std::nullopt;
    const std::string_view path = text.substr(pathStart);
    url.path = path.substr(0, path.find_first_of("?#"));
    return url;
}

// The addresses of `url`'s host: a numeric one at once, a name through an asynchronous look-up
// that the deadline bounds.
addrinfo* resolve(const Url& url, const Deadline& deadline, std::string& failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) == 0)
        return found;
    // Kept on the heap: a look-up still running at the deadline may write to it until the
    // process ends.
    struct Lookup {
        std::string host, port;
        addrinfo hints;
        gaicb request;
    };
    auto* lookup = new Lookup{url.host, url.port, hints, {}};
    lookup->hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    lookup->request = {lookup->host.c_str(), lookup->port.c_str(), &lookup->hints, nullptr};
    gaicb* requests[] = {&lookup->request};
    if (const int started = ::getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr); started != 0) {
        failure = ::gai_strerror(started);
        delete lookup;
        return nullptr;
    }
    while (::gai_error(&lookup->request) == EAI_INPROGRESS) {
        const int left = deadline.remaining();
        if (left == 0) {
            ::gai_cancel(&lookup->request);
            failure = "no address for " + url.host + " within 2 s";
            return nullptr;
        }
        const timespec wait{left / 1000, long(left % 1000) * 1'000'000};
        ::gai_suspend(requests, 1, &wait);
    }
    if (const int error = ::gai_error(&lookup->request); error != 0) {
        failure = ::gai_strerror(error);
        delete lookup;
        return nullptr;
    }
    found = lookup->request.ar_result;
    delete lookup;
    return found;
}

// A socket connected to one of `addresses`, or -1 with `failure` saying why.
int connectTo(const addrinfo* addresses, const Deadline& deadline, std::string& failure) {
    for (const addrinfo* address = addresses; address; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) {
            failure = std::strerror(errno);
            continue;
        }
        int error = ::connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            socklen_t length = sizeof error;
            error = !await(fd, POLLOUT, deadline)                                  ? ETIMEDOUT
                    : ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ? errno
                                                                                   : error;
        }
        if (error == 0)
            return fd;
        failure = error == ETIMEDOUT ? "no connection within 2 s" : std::strerror(error);
        ::close(fd);
    }
    return -1;
}

// POSTs `body` and waits for the status line; returns what went wrong, or nothing.
std::string post(const Url& url, const std::string& body, const Deadline& deadline) {
    std::string failure = "no address";
    addrinfo* addresses = resolve(url, deadline, failure);
    const int fd = addresses ? connectTo(addresses, deadline, failure) : -1;
    if (addresses)
        ::freeaddrinfo(addresses);
    if (fd < 0)
        return failure;
    failure.clear();
    const std::string request =
        "POST " + url.path + "/event HTTP/1.1\r\nHost: " + url.authority +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    std::string answer;
    for (size_t sent = 0; sent < request.size() && failure.empty();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n >= 0)
            sent += size_t(n);
        else if (errno != EAGAIN && errno != EINTR)
            failure = std::strerror(errno);
        else if (!await(fd, POLLOUT, deadline))
            failure = "no answer within 2 s";
    }
    while (answer.find("\r\n") == std::string::npos && failure.empty()) {
        char chunk[1024];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0 && answer.size() < maxStatusLine)
            answer.append(chunk, size_t(n));
        else if (n > 0)
            failure = "no status line in the answer";
        else if (n == 0)
            failure = "the bridge closed the connection without an answer";
        else if (errno != EAGAIN && errno != EINTR)
            failure = std::strerror(errno);
        else if (!await(fd, POLLIN, deadline))
            failure = "no answer within 2 s";
    }
    ::close(fd);
    if (!failure.empty())
        return failure;
    const std::string statusLine = answer.substr(0, answer.find("\r\n"));
    const size_t code = std::min(statusLine.find(' '), statusLine.size());
    if (statusLine.substr(code, statusLine.find(' ', code + 1) - code) != " 200")
        return "the bridge answered \"" + statusLine + "\"";
    return {};
}

std::string hostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// The budget: tests shorten it (a development aid; agents never set it).
std::chrono::milliseconds budgetOf(const char* shorter) {
    const long asked = shorter ? std::strtol(shorter, nullptr, 10) : 0;
    return asked > 0 ? std::min(budget, std::chrono::milliseconds(asked)) : budget;
}

} // namespace

int forwardHook(const char* program, int argc, char* args[]) {
    const Deadline deadline(budgetOf(std::getenv("GLIMMET_HOOK_DEADLINE_MS")));
    if (argc < 1) {
        warn(program, std::string("usage: ") + program + " AGENT [PAYLOAD]");
        return 0;
    }
    const std::optional<std::string> payload =
        argc > 1 ? std::optional<std::string>(args[1]) : readStandardInput(deadline);
    if (!payload) {
        warn(program, "no whole payload on standard input within 2 s (or more than 64 MiB)");
        return 0;
    }
    const HookPayload hook = HookPayload::read(*payload);
    if (!hook.error.empty()) {
        warn(program, "the hook's payload is not a JSON object (" + hook.error + ")");
        return 0;
    }
    if (!hook.event)
        return 0;

    // The host tells the bridge whose agent this is when the event comes from another machine.
    std::string body = "{\"agent\":" + jsonString(args[0]) + ",\"event\":" + jsonString(hook.event->event) +
                       ",\"host\":" + jsonString(hostName());
    if (hook.event->message)
        body += ",\"message\":" + jsonString(*hook.event->message);
    body += '}';
    std::string base = std::getenv("GLIMMET_BRIDGE_URL") ? std::getenv("GLIMMET_BRIDGE_URL") : "";
    if (base.empty())
        base = "http://127.0.0.1:8765";
    while (base.ends_with('/'))
        base.pop_back();
    const std::optional<Url> url = parseUrl(base);
    const std::string failure = url ? post(*url, body, deadline) : "not an http:// address";
    if (!failure.empty())
        warn(program, "could not deliver " + hook.event->event + " to " + base + "/event: " + failure);
    return 0;
}

} // namespace glimmet
