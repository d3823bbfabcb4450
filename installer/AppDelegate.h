#pragma once

// The installer's application delegate: the window does all the work.
class AppDelegate {
public:
    void applicationDidFinishLaunching() {}
    void applicationWillTerminate() {}
};
