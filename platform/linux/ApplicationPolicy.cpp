#include "ApplicationPolicy.h"

bool quitsWhenLastWindowCloses() {
    return true;
}
