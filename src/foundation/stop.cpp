// The stop requests, kept in the run-time flags of foundation/runtime.h.
#include "foundation/stop.h"

#include "foundation/runtime.h"

namespace qzr {

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets the flags");

void stop_call()
{
    stopRequested = true;
    wakeFlag = true;
}

void stop_run()
{
    stopRequested = true;
    terminateRequested = true;
    wakeFlag = true;
}

void stop_dropCancel()
{
    if (!terminateRequested) stopRequested = false;
}

bool stop_requested()
{
    return stopRequested;
}

bool stop_runRequested()
{
    return terminateRequested;
}

}  // namespace qzr
