// The pvtrace program: asks the daemon for the trace of all devices and
// copies it to stdout and/or files until the daemon ends it or SIGINT or
// SIGTERM arrives. Owns the output files it opens (closed before Run
// returns); the requester, pager and streams are non-owning. Single thread,
// plus the signal handler, which only calls the requester's Interrupt.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/control-client/HelpPager.h"
#include "tools/control-client/PtyControlRequester.h"
#include "tools/control-client/ToolOptionTable.h"

class TraceTool {
  public:
    TraceTool(PtyControlRequester* requester, HelpPager* pager, FILE* out, FILE* err)
        : requester_(requester), pager_(pager), out_(out), err_(err) {}
    ~TraceTool();

    // `args` are the arguments after the program name; returns the exit status.
    int Run(const std::vector<std::string>& args);

    // Makes SIGINT and SIGTERM end the trace through requester->Interrupt(),
    // and SIGPIPE harmless.
    static void InstallSignalHandlers(PtyControlRequester* requester);

    static const char* UsageText();

  private:
    enum Role { ROLE_TTYLIST = 1, ROLE_OUTPUT, ROLE_HELP };

    struct Option {
        const ToolOption* row;  // non-owning
        std::string value;
    };

    static const ToolOptionTable& Table();
    int Parse(const std::vector<std::string>& args, std::vector<Option>* options);
    int OpenOutputs(const std::vector<Option>& options);
    void CloseOutputs();
    int Trace();

    PtyControlRequester* requester_;  // non-owning
    HelpPager* pager_;                // non-owning
    FILE* out_;
    FILE* err_;
    // The outputs in command-line order, null-terminated once opened; the
    // entries other than out_ are owned.
    std::vector<FILE*> outputs_;
};
