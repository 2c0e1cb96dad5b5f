// The -help option of pvconfig and pvquery: the usage text of each mode, the
// license, and "about", which asks the daemon for its version. Holds
// non-owning references to the tool's requester, pager and error stream;
// single thread.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/control-client/HelpPager.h"
#include "tools/control-client/PtyControlRequester.h"

class ConfigHelp {
  public:
    ConfigHelp(PtyControlRequester* requester, HelpPager* pager, FILE* out, FILE* err)
        : requester_(requester), pager_(pager), out_(out), err_(err) {}

    // Shows the help for `topic` ("" when none was given); returns the exit
    // status.
    int Run(const std::string& topic, bool configMode);

    static const char* UsageText(bool configMode);

    // The items of a helpabout reply: KEY=VALUE or KEY="VALUE WITH BLANKS",
    // separated by blanks, taken from the left up to the first text that is
    // neither.
    static std::vector<std::pair<std::string, std::string>> ParseAbout(const std::string& reply);

  private:
    int About();

    PtyControlRequester* requester_;  // non-owning
    HelpPager* pager_;                // non-owning
    FILE* out_;
    FILE* err_;
};
