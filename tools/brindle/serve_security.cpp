// Who may reach `brindle serve`: the token, its cookie, the header of changing requests and
// the Host check.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

#include "brindle.h"
#include "brindle/json_property.h"
#include "brindle/serve.h"

namespace brindle::tool {
namespace {

// 128 bits from the system's random source, as hex.
std::string RandomToken() {
    std::random_device source;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(source()));
        token += part;
    }
    return token;
}

// Compares without stopping at the first difference, so that the time an answer takes
// tells nothing about how much of a guess was right.
bool SameSecret(std::string_view given, std::string_view secret) {
    if (given.size() != secret.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    }
    return difference == 0;
}

bool IsChanging(const httplib::Request& request) {
    return request.method != "GET" && request.method != "HEAD";
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

ServeSecurity::ServeSecurity(std::string bind_address)
    : token_(RandomToken()), bind_address_(Lowercase(std::move(bind_address))) {}

bool ServeSecurity::HostAllowed(const std::string& header) const {
    std::string host = Lowercase(header);
    std::string port;
    const std::size_t bracket = host.rfind(']');
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    if (host.size() > 1 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!port.empty() && port != std::to_string(port_)) {
        return false;
    }
    return host == "localhost" || host == bind_address_;
}

bool ServeSecurity::CookieHasToken(const httplib::Request& request) const {
    const std::string cookies = request.get_header_value("Cookie");
    const std::string wanted = std::string(kCookieName) + "=";
    std::size_t start = 0;
    while (start < cookies.size()) {
        const std::size_t end = std::min(cookies.find(';', start), cookies.size());
        std::string_view cookie(cookies.data() + start, end - start);
        while (!cookie.empty() && cookie.front() == ' ') {
            cookie.remove_prefix(1);
        }
        if (cookie.substr(0, wanted.size()) == wanted &&
            SameSecret(cookie.substr(wanted.size()), token_)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool ServeSecurity::Answer(const httplib::Request& request, httplib::Response& response) const {
    AddSafetyHeaders(response);
    if (!HostAllowed(request.get_header_value("Host"))) {
        Refuse(response, 403, "the Host header must name " + bind_address_ + " or localhost");
        return true;
    }
    if (request.has_param("token")) {
        if (!SameSecret(request.get_param_value("token"), token_)) {
            Refuse(response, 403, "wrong token: open the address brindle serve printed");
            return true;
        }
        // The token leaves the address bar at once: the cookie carries it from now on.
        response.set_header("Set-Cookie", std::string(kCookieName) + "=" + token_ +
                                              "; Path=/; HttpOnly; SameSite=Strict");
        response.set_redirect("/", 303);
        return true;
    }
    if (!CookieHasToken(request)) {
        Refuse(response, 403, "no valid token: open the address brindle serve printed");
        return true;
    }
    if (IsChanging(request) && request.get_header_value(kChangeHeader) != "1") {
        Refuse(response, 403,
               std::string("a changing request must carry the header ") + kChangeHeader + ": 1");
        return true;
    }
    return false;
}

void Refuse(httplib::Response& response, int status, const std::string& message) {
    response.status = status;
    response.set_content(Json{{"code", 0}, {"name", "refused"}, {"message", message}}.dump(),
                         "application/json");
}

void AddSafetyHeaders(httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
                        "form-action 'self'; base-uri 'none'");
}

}  // namespace brindle::tool
