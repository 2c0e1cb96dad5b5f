// Configuration mode of pvconfig: turns the parsed options into set, delete
// and copy requests (or the whole -reset series), sends them one by one and
// stops at the first failure. Holds non-owning references to the requester
// and the error stream; single thread.
#pragma once

#include <cstdio>

#include "tools/control-client/PtyControlRequester.h"
#include "tools/pvconfig/ConfigCommandLine.h"

class ConfigTool {
  public:
    ConfigTool(PtyControlRequester* requester, FILE* err) : requester_(requester), err_(err) {}

    // Runs a parsed command line that holds at least one option other than
    // -version and -help; returns the exit status. Closes the connection.
    int Run(const ConfigCommandLine& command);

  private:
    int SendOptions(const ConfigCommandLine& command);
    int Reset(const ConfigCommandLine& command);

    PtyControlRequester* requester_;  // non-owning
    FILE* err_;
};
