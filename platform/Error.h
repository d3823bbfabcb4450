#pragma once

#include <QString>

// What a failed platform operation hands back, to be shown to the user as it is.
struct Error {
    QString domain;
    int code = 0;
    QString localizedDescription;

    bool operator==(const Error&) const = default;
};
