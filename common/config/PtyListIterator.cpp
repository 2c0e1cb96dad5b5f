#include "common/config/PtyListIterator.h"

#include "common/config/WholeLineMatch.h"

namespace {

const boost::regex& ElementAndRest() {
    static const boost::regex r(
        "^[[:blank:]]*([a-zA-Z0-9_\\-\\+]+)[[:blank:]]*,[[:blank:]]*(.+)[[:blank:]]*$",
        boost::regex::perl);
    return r;
}

const boost::regex& LastElement() {
    static const boost::regex r("^[[:blank:]]*([a-zA-Z0-9_\\-\\+]+)[[:blank:]]*$",
                                boost::regex::perl);
    return r;
}

}  // namespace

PtyListIterator::PtyListIterator(const std::string& list) : remaining_(list) {
    Next();
}

bool PtyListIterator::Next() {
    if (done_) {
        current_.clear();
        return false;
    }
    boost::smatch m;
    if (WholeLineMatch(remaining_, ElementAndRest(), &m)) {
        current_ = m.str(1);
        std::string rest = m.str(2);
        remaining_.swap(rest);
    } else {
        current_ = WholeLineMatch(remaining_, LastElement(), &m) ? m.str(1) : std::string();
        done_ = true;
    }
    return !current_.empty();
}
