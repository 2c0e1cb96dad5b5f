// Query mode (pvquery): the general listing, the listing of one device or of
// several ("-tty ALL" or a comma list, each under a "tty:" header), and
// selected settings, one "get" request per line shown. Holds non-owning
// references to the requester and the output streams; single thread.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "tools/control-client/PtyControlRequester.h"
#include "tools/pvconfig/ConfigCommandLine.h"

class QueryTool {
  public:
    QueryTool(PtyControlRequester* requester, FILE* out, FILE* err)
        : requester_(requester), out_(out), err_(err) {}

    // Runs a parsed query-mode command line without -version and -help;
    // returns the exit status. Closes the connection.
    int Run(const ConfigCommandLine& command);

  private:
    int RunDevices(const ConfigCommandLine& command);
    int ListDevice(const ConfigCommandLine& command, const std::string& device, bool labels);
    // Every row the filter accepts, labelled; unset rows without a default
    // are left out.
    int List(const std::function<bool(const ToolOption&)>& filter, const std::string* tty);
    int ListSelected(const ConfigCommandLine& command, const std::string* tty, bool labels);
    // Sends one get request; 0 with the reply, or the failure's exit status.
    int Get(const std::string& request, std::string* reply);

    PtyControlRequester* requester_;  // non-owning
    FILE* out_;
    FILE* err_;
};
