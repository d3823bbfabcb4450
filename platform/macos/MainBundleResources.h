#pragma once

#include "MainBundle.h"

class MainBundleResources final : public MainBundle {
public:
    std::optional<QString> pathForResource(const QString& name, const QString& extension) override;
};
