#include "TerminationRequests.h"

#include "TerminationSignals.h"

void onTerminationRequest(std::function<void()> terminate) {
    onTerminationSignal(std::move(terminate));
}
