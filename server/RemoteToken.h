#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QString>

namespace glimmet {

// The secret a machine other than this one shows to write to the remote-host routes
// ("Authorization: Bearer TOKEN"): made on first use and kept in a file that only the user can
// read. Any thread; it touches the file only when called.
class RemoteToken {
public:
    // <config>/Glimmet/remote-token, beside the settings.
    static QString defaultPath();

    // The token kept in `path`; when there is none, a new one (32 random bytes as hex) is
    // written there first, readable by the user only.
    static Result<QByteArray> loadOrCreate(const QString& path = defaultPath());
};

} // namespace glimmet
