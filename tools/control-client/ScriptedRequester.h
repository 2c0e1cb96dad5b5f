// For the tools' unit tests: a requester that records every request line and
// answers from a script instead of a daemon. Owns its script and records;
// single thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/control-client/PtyControlRequester.h"

class ScriptedRequester : public PtyControlRequester {
  public:
    struct Reply {
        int status;
        std::string text;
    };

    // The answer to one request line; unscripted requests get "OK" and "".
    void Answer(const std::string& request, int status, const std::string& text) {
        replies_[request] = Reply{status, text};
    }
    // What ReadStream writes to each of its streams.
    void SetStream(const std::string& text) { stream_ = text; }

    int Request(const std::string& request, std::string& reply) override {
        requests_.push_back(request);
        auto found = replies_.find(request);
        Reply r = found != replies_.end() ? found->second : Reply{STATUS_OK, ""};
        reply = r.text;
        return r.status;
    }

    int ReadStream(FILE* const* streams) override {
        ++streamReads_;
        for (FILE* const* s = streams; *s != nullptr; ++s) {
            fputs(stream_.c_str(), *s);
            fflush(*s);
        }
        return STATUS_OK;
    }

    void Interrupt() override { interrupted_ = true; }
    void Close() override { ++closes_; }

    const std::vector<std::string>& Requests() const { return requests_; }
    int StreamReads() const { return streamReads_; }
    int Closes() const { return closes_; }
    bool Interrupted() const { return interrupted_; }

  private:
    std::map<std::string, Reply> replies_;
    std::string stream_;
    std::vector<std::string> requests_;
    int streamReads_ = 0;
    int closes_ = 0;
    bool interrupted_ = false;
};
