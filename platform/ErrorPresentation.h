#pragma once

#include "Error.h"

class QWidget;

// The platform's standard way to show an error to the user.
class ErrorPresentation {
public:
    ErrorPresentation() = default;
    ErrorPresentation(const ErrorPresentation&) = delete;
    ErrorPresentation& operator=(const ErrorPresentation&) = delete;
    virtual ~ErrorPresentation() = default;

    // Shows `error` modally over `window`; returns once the user has dismissed it.
    virtual void presentError(QWidget* window, const Error& error) = 0;
};
