// The time limits of one request as a whole: its session set-up and everything it does on the
// network, so that a server that answers a byte now and then cannot hold the process for ever.
//
// Owns the request's clock. The transport asks it how long one operation may wait; the front end
// starts it when the session set-up begins and says when the session is ready. Never blocks and
// never touches a socket: each transport applies the wait in its own way. Without a started clock
// every operation keeps its own time-out.
#pragma once

#include "common/limits.h"

struct RequestLimits {
    int setupMillis = kSetupDeadlineSeconds * 1000;
    int totalMillis = kRequestDeadlineSeconds * 1000;
};
// The limits that the next deadlineStart applies. Tests shorten them.
void deadlineSetLimits(RequestLimits limits);

// The session set-up begins now: set-up and request are measured from here.
void deadlineStart();
// The session is ready: only the limit of the whole request is left.
void deadlineSetupDone();
// No request is running: operations keep their own time-outs.
void deadlineStop();

// How long one network operation may wait: `operationMillis`, cut to what is left of the request;
// 0 once the time is up.
[[nodiscard]] int deadlineWaitMillis(int operationMillis);
