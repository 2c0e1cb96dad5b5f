#include "tools/control-client/HelpPager.h"

#include <signal.h>
#include <sys/wait.h>

void HelpPager::Show(const std::string& text) {
    if (interactive_ && ShowThroughMore(text)) {
        return;
    }
    fputs(text.c_str(), out_);
    fflush(out_);
}

bool HelpPager::ShowThroughMore(const std::string& text) {
    fflush(out_);
    FILE* pager = popen("more", "w");
    if (pager == nullptr) {
        return false;
    }
    // Quitting the pager early closes the pipe under us; that must end the
    // help, not the tool.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);
    fputs(text.c_str(), pager);
    int status = pclose(pager);
    sigaction(SIGPIPE, &previous, nullptr);
    // The shell could not find "more": it has shown nothing.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}
