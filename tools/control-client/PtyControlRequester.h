// What the tools need from the daemon's control channel: one request line in,
// one classified reply out, and the trace stream. PtyControlChannelClient is
// the real one; the tools' tests put a scripted one in its place. Used from
// the tool's single thread, except Interrupt, which a signal handler may call.
#pragma once

#include <cstdio>
#include <string>

class PtyControlRequester {
  public:
    // The outcome of Request and ReadStream; 3 is not used.
    enum Status {
        STATUS_OK = 0,             // the daemon answered "OK"
        STATUS_ERR = 1,            // the daemon answered "ERR"
        STATUS_CLOSED = 2,         // the daemon closed the connection
        STATUS_NOT_DELIVERED = 4,  // no daemon, no connection, or the send failed
        STATUS_UNUSABLE = 5,       // the reply was too long or not a reply at all
        STATUS_TIMED_OUT = 6       // no reply within the reply time
    };

    virtual ~PtyControlRequester() = default;

    // Sends one complete request line (with its "\n") and waits for the
    // reply line; reply receives its text. Returns a Status.
    virtual int Request(const std::string& request, std::string& reply) = 0;

    // Copies everything the daemon sends to each stream of the
    // null-terminated array until the daemon ends the stream with an empty
    // line, the connection goes, or Interrupt is called. Returns a Status.
    virtual int ReadStream(FILE* const* streams) = 0;

    // Ends the current wait and every later one. Async-signal-safe.
    virtual void Interrupt() = 0;

    // Drops the connection, if any.
    virtual void Close() = 0;

    // The tools' common handling of a request's result: nothing for
    // STATUS_OK (returns 0), else the message on `err` and the exit status
    // the tools end with (4 for a refusal, 5 when the daemon is unreachable
    // or its reply unusable).
    static int ReportFailure(int status, const std::string& text, FILE* err);
};
