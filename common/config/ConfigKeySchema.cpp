#include "common/config/ConfigKeySchema.h"

#include "common/config/ConfigNumber.h"
#include "common/config/PasswordScrambler.h"
#include "common/config/RegistryCache.h"

const ConfigKeyType kPortKeyTable[] = {
    {"TLSMinKeyLength", CONFIG_NUMBER},
    {"TLSMaxKeyLength", CONFIG_NUMBER},
    {"TLSEnabled", CONFIG_NUMBER},
    {"TLSProtocol", CONFIG_NUMBER},
    {"TLSCipherSet", CONFIG_NUMBER},
    {"TLSCAPath", CONFIG_TEXT},
    {"TLSRequireValidatedCertificateEnabled", CONFIG_NUMBER},
    {"TLSCertificatePath", CONFIG_TEXT},
    {"TLSCertificateEnabled", CONFIG_NUMBER},
    {"TLSCertCountry", CONFIG_TEXT},
    {"TLSCertState", CONFIG_TEXT},
    {"TLSCertLocality", CONFIG_TEXT},
    {"TLSCertOrganization", CONFIG_TEXT},
    {"TLSCertOrganizationalUnit", CONFIG_TEXT},
    {"TLSCertCommonName", CONFIG_TEXT},
    {"TLSCertEmailAddress", CONFIG_TEXT},
    {"PortCloseDelay", CONFIG_NUMBER},
    {"TelnetMode", CONFIG_NUMBER},
    {"TelnetCRMode", CONFIG_NUMBER},
    {"DTREmulation", CONFIG_NUMBER},
    {"DCDEmulationType", CONFIG_NUMBER},
    {"DSREmulationType", CONFIG_NUMBER},
    {"CTSEmulationType", CONFIG_NUMBER},
    {"DCDDSREmulation", CONFIG_NUMBER},
    {"AutoReconnect", CONFIG_NUMBER},
    {"ServerAddress", CONFIG_TEXT},
    {"TCPNODELAY", CONFIG_NUMBER},
    {"UpdateRouteTable", CONFIG_NUMBER},
    {"DeferredPortOpen", CONFIG_NUMBER},
    {"CPCKeepAliveTimer", CONFIG_NUMBER},
    {"ReportCTS", CONFIG_NUMBER},
    {"InboundEnabled", CONFIG_NUMBER},
    {"OutboundEnabled", CONFIG_NUMBER},
    {"IncomingPort", CONFIG_NUMBER},
    {"LoginPrompts1", CONFIG_TEXT},
    {"LoginPrompts2", CONFIG_TEXT},
    {"PasswordPrompts1", CONFIG_TEXT},
    {"PasswordPrompts2", CONFIG_TEXT},
    {"Login", CONFIG_TEXT},
    {"Password", CONFIG_TEXT},
    {"AuthTerminator", CONFIG_TEXT},
    {"Preset", CONFIG_TEXT},
    {"AuthSource", CONFIG_NUMBER},
    {"Baud", CONFIG_NUMBER},
    {"DataLength", CONFIG_NUMBER},
    {"Parity", CONFIG_TEXT},
    {"StopBits", CONFIG_TEXT},
    {"InFlow", CONFIG_TEXT},
    {"OutFlow", CONFIG_TEXT},
    {"DTR", CONFIG_NUMBER},
    {"RTS", CONFIG_NUMBER},
    {"TelnetModem", CONFIG_NUMBER},
    {"chown", CONFIG_TEXT},
    {"chgrp", CONFIG_TEXT},
    {"chmod", CONFIG_TEXT},
    {nullptr, CONFIG_NONE},
};

const ConfigKeyType kGeneralKeyTable[] = {
    {"AuthTerminator", CONFIG_TEXT},
    {"CPCKeepAliveTimer", CONFIG_NUMBER},
    {"DeferredPortOpen", CONFIG_NUMBER},
    {"DynamicGUI", CONFIG_TEXT},
    {"DynGUIOEM", CONFIG_TEXT},
    {"ForceBaudRateThrottle", CONFIG_NUMBER},
    {"LoginPrompts1", CONFIG_TEXT},
    {"LoginPrompts2", CONFIG_TEXT},
    {"MaxReconnectDelay", CONFIG_NUMBER},
    {"ReconnectLatencyValue", CONFIG_NUMBER},
    {"PortCloseDelay", CONFIG_NUMBER},
    {"Ports", CONFIG_TEXT},
    {"PasswordPrompts1", CONFIG_TEXT},
    {"PasswordPrompts2", CONFIG_TEXT},
    {"PresetsFileSpec", CONFIG_FILE},
    {"ProxyServerEnable", CONFIG_NUMBER},
    {"ProxyServerIP", CONFIG_TEXT},
    {"ProxyServerLogin", CONFIG_TEXT},
    {"ProxyServerPassword", CONFIG_TEXT},
    {"ProxyServerPort", CONFIG_NUMBER},
    {"ProxyServerType", CONFIG_TEXT},
    {"ReportCTS", CONFIG_NUMBER},
    {"TCPNODELAY", CONFIG_NUMBER},
    {"TLSCAPath", CONFIG_TEXT},
    {"TLSCertCommonName", CONFIG_TEXT},
    {"TLSCertCountry", CONFIG_TEXT},
    {"TLSCertEmailAddress", CONFIG_TEXT},
    {"TLSCertLocality", CONFIG_TEXT},
    {"TLSCertOrganization", CONFIG_TEXT},
    {"TLSCertOrganizationalUnit", CONFIG_TEXT},
    {"TLSCertState", CONFIG_TEXT},
    {"TLSCertificateEnabled", CONFIG_NUMBER},
    {"TLSCertificatePassword", CONFIG_TEXT},
    {"TLSCertificatePath", CONFIG_TEXT},
    {"TLSCipherSet", CONFIG_NUMBER},
    {"TLSEnabled", CONFIG_NUMBER},
    {"TLSProtocol", CONFIG_NUMBER},
    {"TLSMaxKeyLength", CONFIG_NUMBER},
    {"TLSMinKeyLength", CONFIG_NUMBER},
    {"TLSRequireValidatedCertificateEnabled", CONFIG_NUMBER},
    {"UpdateRouteTable", CONFIG_NUMBER},
    {"UseGethostbyname", CONFIG_NUMBER},
    {"UseWindowsDomain", CONFIG_NUMBER},
    {"CPCKeepAliveWatch", CONFIG_NUMBER},
    {"DebugLog", CONFIG_TEXT},
    {"TelnetModem", CONFIG_NUMBER},
    {"chown", CONFIG_TEXT},
    {"chgrp", CONFIG_TEXT},
    {"chmod", CONFIG_TEXT},
    {nullptr, CONFIG_NONE},
};

namespace {

// ASCII only, like the key names: the locale must not change which keys
// the control channel accepts.
bool EqualIgnoringCase(const char* a, const std::string& b) {
    size_t i = 0;
    for (; a[i] != '\0'; ++i) {
        if (i >= b.size()) {
            return false;
        }
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return i == b.size();
}

int Lookup(const ConfigKeyType* table, const std::string& key) {
    for (; table->name != nullptr; ++table) {
        if (EqualIgnoringCase(table->name, key)) {
            return table->type;
        }
    }
    return CONFIG_NONE;
}

}  // namespace

int LookupPortKeyType(const std::string& key) {
    return Lookup(kPortKeyTable, key);
}

int LookupGeneralKeyType(const std::string& key) {
    return Lookup(kGeneralKeyTable, key);
}

bool SetPortSettingFromText(const std::string& port, const std::string& key,
                            const std::string& text) {
    int type = LookupPortKeyType(key);
    if (type == CONFIG_NONE) {
        return false;
    }
    if (type == CONFIG_NUMBER) {
        unsigned number;
        return ConfigNumber::ParseUnsigned(text, &number) &&
               PortConfigSetUnsigned(port, key, number);
    }
    return PortConfigSetString(port, key, text);
}

bool SetConfigFromText(const std::string& key, const std::string& text) {
    int type = LookupGeneralKeyType(key);
    if (type == CONFIG_NONE) {
        return false;
    }
    if (type == CONFIG_NUMBER) {
        unsigned number;
        return ConfigNumber::ParseUnsigned(text, &number) && ConfigSetUnsigned(key, number);
    }
    return ConfigSetString(key, text);
}

bool GetConfigText(const std::string& key, std::string* text) {
    text->clear();
    int type = LookupGeneralKeyType(key);
    if (type == CONFIG_NONE) {
        return false;
    }
    if (type == CONFIG_NUMBER) {
        int number;
        bool found = ConfigGetInt(key, &number, 0);
        if (found) {
            *text = ConfigNumber::Format(static_cast<unsigned>(number));
        }
        return found;
    }
    return ConfigGetString(key, text, "");
}

bool GetPortSettingText(const std::string& port, const std::string& key, std::string* text) {
    text->clear();
    int type = LookupPortKeyType(key);
    if (type == CONFIG_NONE) {
        return false;
    }
    if (type == CONFIG_NUMBER) {
        int number;
        bool found = PortConfigGetInt(port, key, &number, 0);
        if (found) {
            *text = ConfigNumber::Format(static_cast<unsigned>(number));
        }
        return found;
    }
    return PortConfigGetString(port, key, text, "");
}

bool CopyPortSettings(const std::string& source, const std::string& destination) {
    std::string login;
    for (const ConfigKeyType* entry = kPortKeyTable; entry->name != nullptr; ++entry) {
        const std::string key = entry->name;
        bool present;
        if (entry->type == CONFIG_NUMBER) {
            int number;
            present = PortConfigGetInt(source, key, &number, 0);
            if (present) {
                PortConfigSetUnsigned(destination, key, static_cast<unsigned>(number));
            }
        } else {
            std::string value;
            present = PortConfigGetString(source, key, &value, "");
            if (present) {
                if (key == "Login") {
                    login = value;
                } else if (key == "Password") {
                    DecodePassword(source, login, &value);
                    EncodePassword(destination, login, &value);
                }
                PortConfigSetString(destination, key, value);
            }
        }
        if (!present) {
            PortConfigDelete(destination, key);
        }
    }
    return true;
}
