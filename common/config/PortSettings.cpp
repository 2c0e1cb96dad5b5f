#include "common/config/PortSettings.h"

#include "common/config/PasswordScrambler.h"
#include "common/config/RegistryCache.h"

namespace {

bool ReadsPort(KeyScope scope) {
    return scope != KeyScope::General;
}

bool ReadsGeneral(KeyScope scope) {
    return scope != KeyScope::Port;
}

}  // namespace

bool PortSettings::ReadNumber(const NumberKey& key, int fallback, int* value) const {
    if (ReadsPort(key.scope) && !port_.empty() &&
        PortConfigGetInt(port_, key.name, value, fallback)) {
        return true;
    }
    if (ReadsGeneral(key.scope) && ConfigGetInt(key.name, value, fallback)) {
        return true;
    }
    *value = fallback;
    return false;
}

bool PortSettings::ReadText(const TextKey& key, const std::string& fallback,
                            std::string* value) const {
    bool found = (ReadsPort(key.scope) && !port_.empty() &&
                  PortConfigGetString(port_, key.name, value, fallback)) ||
                 (ReadsGeneral(key.scope) && ConfigGetString(key.name, value, fallback)) ||
                 (key.lastResort != nullptr && ConfigGetString(key.lastResort, value, fallback));
    if (!found) {
        *value = fallback;
    }
    if (key.maxLength > 0 && value->size() > key.maxLength) {
        value->resize(key.maxLength);
    }
    return found;
}

int PortSettings::Number(const NumberKey& key) const {
    return Number(key, key.defaultValue);
}

int PortSettings::Number(const NumberKey& key, int fallback) const {
    int value;
    ReadNumber(key, fallback, &value);
    return value;
}

std::string PortSettings::Text(const TextKey& key) const {
    return Text(key, key.defaultValue);
}

std::string PortSettings::Text(const TextKey& key, const std::string& fallback) const {
    std::string value;
    ReadText(key, fallback, &value);
    return value;
}

bool PortSettings::FindNumber(const NumberKey& key, int* value) const {
    int read;
    if (!ReadNumber(key, key.defaultValue, &read)) {
        return false;
    }
    *value = read;
    return true;
}

bool PortSettings::FindText(const TextKey& key, std::string* value) const {
    std::string read;
    if (!ReadText(key, key.defaultValue, &read)) {
        return false;
    }
    value->swap(read);
    return true;
}

// The scrambling key uses the whole Login, not the part a login reader takes,
// so that the setter and every reader agree for any length.
std::string PortSettings::FullLogin() const {
    std::string login;
    PortConfigGetString(port_, ConfigKeys::kLogin.name, &login, "");
    return login;
}

std::string PortSettings::Password() const {
    std::string text;
    if (!PortConfigGetString(port_, ConfigKeys::kPassword.name, &text, "")) {
        return "";
    }
    DecodePassword(port_, FullLogin(), &text);
    return text;
}

bool PortSettings::HasPassword() const {
    std::string text;
    return PortConfigGetString(port_, ConfigKeys::kPassword.name, &text, "");
}

bool PortSettings::SetPassword(const std::string& clear) const {
    std::string text = clear.substr(0, kMaxPasswordLength);
    EncodePassword(port_, FullLogin(), &text);
    return PortConfigSetString(port_, ConfigKeys::kPassword.name, text);
}

bool PortSettings::Server(ServerAddress* address) const {
    std::string text;
    if (!PortConfigGetString(port_, ConfigKeys::kServerAddress.name, &text, "")) {
        return false;
    }
    return ServerAddress::Parse(text, address);
}
