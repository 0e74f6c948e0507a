// see deadline.h
#include "common/deadline.h"

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

RequestLimits gLimits;
bool gRunning = false;
Clock::time_point gRequestEnd;
Clock::time_point gEnd;  // the request's end, or the set-up's while that is earlier and running

}  // namespace

void deadlineSetLimits(RequestLimits limits) {
    gLimits = limits;
}

void deadlineStart() {
    const Clock::time_point now = Clock::now();
    gRequestEnd = now + std::chrono::milliseconds(gLimits.totalMillis);
    gEnd = std::min(now + std::chrono::milliseconds(gLimits.setupMillis), gRequestEnd);
    gRunning = true;
}

void deadlineSetupDone() {
    gEnd = gRequestEnd;
}

void deadlineStop() {
    gRunning = false;
}

int deadlineWaitMillis(int operationMillis) {
    if (!gRunning) return operationMillis;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(gEnd - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(operationMillis, left));
}
