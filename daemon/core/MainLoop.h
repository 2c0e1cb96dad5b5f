// The main thread's event loop: one timer group and the SelectManager bound
// to it. Every port object and the control channel's command handler share
// this group; work for the main thread arrives as zero-delay timers on it.
#pragma once

#include "common/runtime/KtTimerGroup.h"
#include "common/runtime/SelectManager.h"

class MainLoop {
  public:
    static MainLoop& Instance();

    KtTimerGroup& Group() { return group_; }
    SelectManager& Manager() { return manager_; }

  private:
    MainLoop() : manager_(&group_) {}

    KtTimerGroup group_;
    SelectManager manager_;
};
