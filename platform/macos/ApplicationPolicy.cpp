#include "ApplicationPolicy.h"

// The Dock and the menu bar still reach an application without windows.
bool quitsWhenLastWindowCloses() {
    return false;
}
