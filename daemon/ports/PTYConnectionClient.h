// What the PTY connection listener tells about an idle pseudo-terminal: the
// first sign that an application opened it. Implemented by PTYRedirector;
// called on the listener's thread, never with the listener's lock held.
#pragma once

class PTYConnectionClient {
  public:
    // masterFd is the master the client registered with Watch; it is no
    // longer watched when this is called.
    virtual void OnPtyOpened(int masterFd) = 0;

  protected:
    ~PTYConnectionClient() = default;
};
