// The two key-schema tables (keys of a port's section, keys of "[main]") with
// the type of each key, and the conversions between a key's stored value and
// the text the control channel carries. Look-ups ignore letter case; values
// are stored under the key as the caller spells it. Tables are constant and
// the functions hold no state of their own: safe on any thread (storage goes
// through the RegistryCache accessors).
#pragma once

#include <string>

enum ConfigValueType {
    CONFIG_NONE = 0,    // not in the table
    CONFIG_TEXT = 1,    // the text itself
    CONFIG_NUMBER = 2,  // decimal, written "%u", read "%d"
    CONFIG_FILE = 3,    // a file name, handled as text
};

struct ConfigKeyType {
    const char* name;
    int type;
};

// Each table ends with {nullptr, CONFIG_NONE}. The port table's order matters
// to CopyPortSettings: Login comes before Password.
extern const ConfigKeyType kPortKeyTable[];
extern const ConfigKeyType kGeneralKeyTable[];

// Type of the first entry whose name equals `key` without regard to case;
// CONFIG_NONE when there is none.
int LookupPortKeyType(const std::string& key);
int LookupGeneralKeyType(const std::string& key);

// Stores `text` under `key` in the port's section (general section): fails
// for a key not in the table, or a number key whose text does not parse as
// "%u" ("-1" parses, and is stored as 4294967295).
bool SetPortSettingFromText(const std::string& port, const std::string& key,
                            const std::string& text);
bool SetConfigFromText(const std::string& key, const std::string& text);

// The stored value of a general key as text: numbers in decimal ("%u"), texts
// as stored, "" when absent. False when the key is not in the general table
// or not stored. GetPortSettingText is the same over a port's section.
bool GetConfigText(const std::string& key, std::string* text);
bool GetPortSettingText(const std::string& port, const std::string& key, std::string* text);

// Makes the destination's port-table keys equal to the source's: present
// keys are copied, absent ones deleted. The password is decoded under the
// source's name and encoded again under the destination's, so it still
// decodes there. Cannot fail.
bool CopyPortSettings(const std::string& source, const std::string& destination);
