#pragma once

#include <QString>
#include <optional>

// The resources the running application carries in its own bundle.
class MainBundle {
public:
    MainBundle() = default;
    MainBundle(const MainBundle&) = delete;
    MainBundle& operator=(const MainBundle&) = delete;
    virtual ~MainBundle() = default;

    // The path of resource `name`.`extension`, or none when the bundle lacks it.
    virtual std::optional<QString> pathForResource(const QString& name,
                                                   const QString& extension) = 0;
};
