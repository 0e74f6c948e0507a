// see deadline.h
#include "common/deadline.h"

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

RequestLimits gLimits;
bool gRunning = false;
bool gSetupDone = false;
Clock::time_point gSetupEnd;
Clock::time_point gRequestEnd;

}  // namespace

void deadlineSetLimits(RequestLimits limits) {
    gLimits = limits;
}

void deadlineStart() {
    const Clock::time_point now = Clock::now();
    gSetupEnd = now + std::chrono::milliseconds(gLimits.setupMillis);
    gRequestEnd = now + std::chrono::milliseconds(gLimits.totalMillis);
    gRunning = true;
    gSetupDone = false;
}

void deadlineSetupDone() {
    gSetupDone = true;
}

void deadlineStop() {
    gRunning = false;
}

int deadlineWaitMillis(int operationMillis) {
    if (!gRunning) return operationMillis;
    const Clock::time_point end = gSetupDone ? gRequestEnd : std::min(gSetupEnd, gRequestEnd);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(operationMillis, left));
}
