// Walks a device list ("tty0, tty1,tty2"): comma-separated device names
// (letters, digits, "_", "-", "+") with blanks allowed around names and
// commas. The walk stops at the first malformed element: an empty one, a
// name with other characters or blanks inside, or a last name followed by a
// comma (that name is not delivered). Owns a copy of the list; one thread.
//
//     for (PtyListIterator it(list); !it.AtEnd(); it.Next()) { use(it.Current()); }
#pragma once

#include <string>

class PtyListIterator {
  public:
    // Positions on the first element.
    explicit PtyListIterator(const std::string& list);
    virtual ~PtyListIterator() = default;

    // Moves to the next element; true while one was found.
    bool Next();
    std::string Current() const { return current_; }
    bool AtEnd() const { return current_.empty(); }

  private:
    std::string remaining_;
    std::string current_;
    bool done_ = false;
};
