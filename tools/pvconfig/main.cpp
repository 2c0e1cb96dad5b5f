// pvconfig changes the daemon's configuration; started under any name that
// does not contain "pvconfig" (normally as pvquery) it shows it instead.
#include <unistd.h>

#include "common/runtime/KtTimerGroup.h"
#include "tools/control-client/HelpPager.h"
#include "tools/control-client/PtyControlChannelClient.h"
#include "tools/pvconfig/ConfigProgram.h"

int main(int argc, char** argv) {
    KtTimerGroup group;
    PtyControlChannelClient client(&group);
    HelpPager pager(stdout, isatty(STDIN_FILENO) == 1);
    ConfigProgram program(ConfigProgram::IsConfigName(argc > 0 ? argv[0] : nullptr), &client,
                          &pager, stdout, stderr);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return program.Run(args);
}
