#pragma once

#include <QString>

#include <expected>

namespace glimmet {

// An error value made by the bridge: a domain ("DeviceClient", "Market", ...), an integer
// code and a user-facing description. Nothing throws across a subsystem boundary.
struct Error {
    QString domain;
    int code = 0;
    QString description;

    bool operator==(const Error&) const = default;
};

template <class T> using Result = std::expected<T, Error>;

inline std::unexpected<Error> makeError(QString domain, int code, QString description) {
    return std::unexpected(Error{std::move(domain), code, std::move(description)});
}

} // namespace glimmet
