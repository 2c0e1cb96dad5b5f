#include "daemon/core/MainLoop.h"

MainLoop& MainLoop::Instance() {
    static MainLoop loop;
    return loop;
}
