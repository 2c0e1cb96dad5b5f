// pvtrace streams the daemon's trace of all devices to stdout or files.
#include <unistd.h>

#include "common/runtime/KtTimerGroup.h"
#include "tools/control-client/HelpPager.h"
#include "tools/control-client/PtyControlChannelClient.h"
#include "tools/pvtrace/TraceTool.h"

int main(int argc, char** argv) {
    KtTimerGroup group;
    PtyControlChannelClient client(&group);
    HelpPager pager(stdout, isatty(STDIN_FILENO) == 1);
    TraceTool tool(&client, &pager, stdout, stderr);
    TraceTool::InstallSignalHandlers(&client);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    int status = tool.Run(args);
    TraceTool::InstallSignalHandlers(nullptr);
    return status;
}
