// Shows a help text: through "more" when the user sits at a terminal, else
// straight on the tool's output, so that redirected or scripted runs never
// wait for a key. Owns nothing beyond the duration of Show; single thread.
#pragma once

#include <cstdio>
#include <string>

class HelpPager {
  public:
    // `out` is where the text goes without a pager; `interactive` says
    // whether standard input is a terminal (isatty(0) in the tools).
    HelpPager(FILE* out, bool interactive) : out_(out), interactive_(interactive) {}

    void Show(const std::string& text);

  private:
    bool ShowThroughMore(const std::string& text);

    FILE* out_;  // non-owning
    bool interactive_;
};
