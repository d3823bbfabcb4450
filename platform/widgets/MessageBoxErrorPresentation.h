#pragma once

#include "ErrorPresentation.h"

// A modal message box with the error's description.
class MessageBoxErrorPresentation final : public ErrorPresentation {
public:
    void presentError(QWidget* window, const Error& error) override;
};
