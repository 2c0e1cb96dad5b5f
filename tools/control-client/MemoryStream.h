// For the tools' unit tests: a stdio stream that collects what is written to
// it in memory, so a test can compare a tool's output byte for byte. Owns
// the stream and its buffer; single thread.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class MemoryStream {
  public:
    MemoryStream() : stream_(open_memstream(&buffer_, &size_)) {}
    ~MemoryStream() {
        fclose(stream_);
        free(buffer_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    FILE* Stream() const { return stream_; }
    std::string Text() {
        fflush(stream_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};
