#include "MainBundleResources.h"

#import <Foundation/Foundation.h>

std::optional<QString> MainBundleResources::pathForResource(const QString& name,
                                                            const QString& extension) {
    @autoreleasepool {
        NSURL* url = [NSBundle.mainBundle URLForResource:name.toNSString()
                                           withExtension:extension.toNSString()];
        if (!url)
            return std::nullopt;
        return QString::fromNSString(url.path);
    }
}
