// The pvconfig / pvquery program: parses the command line, reports misuse,
// answers -version and -help, and hands the rest to ConfigTool or QueryTool.
// The mode comes from the name the program was started under. Holds
// non-owning references to the requester, pager and streams; single thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/control-client/HelpPager.h"
#include "tools/control-client/PtyControlRequester.h"

class ConfigProgram {
  public:
    static constexpr const char* kVersion = "4.0";

    ConfigProgram(bool configMode, PtyControlRequester* requester, HelpPager* pager, FILE* out,
                  FILE* err)
        : configMode_(configMode), requester_(requester), pager_(pager), out_(out), err_(err) {}

    // Configuration mode when the program name contains "pvconfig".
    static bool IsConfigName(const char* programName);

    // `args` are the arguments after the program name; returns the exit status.
    int Run(const std::vector<std::string>& args);

  private:
    bool configMode_;
    PtyControlRequester* requester_;  // non-owning
    HelpPager* pager_;                // non-owning
    FILE* out_;
    FILE* err_;
};
