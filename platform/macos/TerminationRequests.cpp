#include "TerminationRequests.h"

#include "TerminationSignals.h"

bool terminationRequested() {
    return terminationSignalled();
}

void onTerminationRequest(std::function<void()> terminate) {
    onTerminationSignal(std::move(terminate));
}
