// Parser of the configuration file's text: bytes in, the "[main]" section and
// the port sections out. It does no I/O: the cache feeds it what it reads from
// the file, the fuzz target feeds it arbitrary bytes, and errors go to the
// reporter the owner hands in. It keeps one line of at most kLineBufferSize
// bytes; one reader parses one text on one thread.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

class ConfigFileReader {
  public:
    // Names to values; both maps keep byte order, which is also the order in
    // which the cache writes them.
    using Section = std::map<std::string, std::string>;
    using PortSections = std::map<std::string, Section>;
    using ErrorReporter = std::function<void(const std::string& text)>;

    // A line must fit this buffer together with its newline and a NUL, so
    // the longest line accepted holds kMaxLineLength bytes before its newline.
    static constexpr size_t kLineBufferSize = 0x20000;
    static constexpr size_t kMaxLineLength = kLineBufferSize - 2;

    // The section name that selects the general section.
    static constexpr const char* kGeneralSection = "main";

    explicit ConfigFileReader(ErrorReporter reporter);

    // Takes the next bytes of the text; a line may be split across calls.
    void Feed(const char* data, size_t length);
    // Ends the text: parses a last line that has no newline.
    void Finish();

    // Convenience for a text held whole in memory: Feed, then Finish.
    void Parse(const char* data, size_t length);

    Section& General() { return general_; }
    PortSections& Ports() { return ports_; }

    // The same tests the reader applies, for writers that must produce text
    // this reader reads back: key names, and section names of ports.
    static bool IsKeyName(const std::string& name);
    static bool IsSectionName(const std::string& name);

  private:
    void EndLine();
    void ParseLine(const char* begin, const char* end);
    void Report(const char* format, int lineNumber);

    ErrorReporter reporter_;
    std::string line_;
    bool tooLong_ = false;  // the current line overflowed; its bytes are being skipped
    int lineNumber_ = 1;
    Section* current_ = nullptr;  // non-owning: general_ or an entry of ports_
    Section general_;
    PortSections ports_;
};
