#include "tools/pvconfig/ConfigHelp.h"

#include <boost/regex.hpp>

#include "tools/control-client/LicenseText.h"

namespace {

const char kConfigUsage[] = R"(pvconfig -help [about|license]

pvconfig  manages and configures pseudo-tty devices supported by Portvane.

Examples:
  pvconfig -addtty ttyV0                 add the device /dev/ttyV0
  pvconfig -tty ttyV0 -server 10.1.2.3 -port 4001 -protocol telnet
                                         connect it to port 4001 of a device server
  pvconfig -tty ttyV0 -speed 9600 -parity none -stop 1
                                         set its line settings
  pvconfig -tty ttyV0,ttyV1 -restore Y   restore failed connections of two devices
  pvconfig -tty ttyV0 -reset             restore the defaults of a device
  pvconfig -keepalive 30000              change a general setting

Usage: pvconfig OPTION DEV
  -l, -ttylist DEV                       set device population to DEV
  -3, -addtty DEV                        add devices
  -4, -deltty DEV                        delete devices

Usage: pvconfig GENERAL-OPTION...
  -/, -chown USER                        tty owner default
  -\, -chgrp GROUP                       tty group default
  -_, -chmod MODE                        read/write permissions default (e.g. 660)
  -g, -nagle Y|N                         TCP Nagle algorithm enable/disable
  -k, -keepalive MS                      keepalive message interval
  -m, -maxreconnect MS                   maximum reconnect attempt interval
  -C, -delayclose MS                     connection close delay after tty close
  -Y, -sync Y|N                          synchronize open with server
  -R, -limitrate Y|N                     limit data rate to server
  -M, -authterm TEXT                     terminator for server login credentials
  -G, -login PROMPT[|PROMPT...]          supplemental login prompt
  -W, -pwd PROMPT[|PROMPT...]            supplemental password prompt
  -5, -reset                             restore defaults
  -7, -version                           print the version
  -h, -help [about|license]              help

Usage: pvconfig -y|-tty DEV TTY-OPTION...
  -s, -server HOST                       location of server
  -p, -port PORT                         TCP port accepted by server
  -o, -protocol tcp|telnet|telnetcr      protocol used by server
  -r, -restore Y|N                       restore failed connections
  -E, -speed BAUD                      * baud rate
  -L, -length 5|6|7|8                  * data length
  -P, -parity none|even|odd|mark|space * parity
  -S, -stop 1|1.5|2                    * stop bits
  -D, -dtr 0|1                         * DTR state on open
  -T, -rts 0|1                         * RTS state on open
  -I, -inflow none|rts|dtr|xonxoff     * input flow control
  -O, -outflow none|cts|dsr|xonxoff    * output flow control
  -a, -auth none|username                login to server
  -u, -username NAME                     login user name
  -w, -password PASSWORD                 login password
  -/, -chown USER                        tty owner
  -\, -chgrp GROUP                       tty group
  -_, -chmod MODE                        read/write permissions
  -c, -copyfrom DEV                      copy settings from existing tty
  -5, -reset                             restore defaults

An option given without its value restores its default, or removes the
setting when it has none.

Options marked "*" require device server support for Telnet with RFC 2217
extensions.

DEV is one or more device names made of letters, digits and the characters
"_-+", given without /dev; several names are separated by commas without
blanks.

)";

const char kQueryUsage[] = R"(pvquery -help [about|license]

pvquery displays Portvane device settings and other information.

Examples:
  pvquery                                list the devices and the general settings
  pvquery -tty ttyV0                     list the settings of /dev/ttyV0
  pvquery -tty ALL                       list the settings of every device
  pvquery -tty ttyV0 -server -port       show two settings of /dev/ttyV0
  pvquery -keepalive                     show one general setting

Usage: pvquery OPTION
  -7, -version                           print the version of this program
  -h, -help about                        print the version of the running daemon
  -h, -help license                      show the license

Usage: pvquery GENERAL-OPTION...
  -l, -ttylist                           device population
  -/, -chown                             tty owner default
  -\, -chgrp                             tty group default
  -_, -chmod                             read/write permissions default
  -g, -nagle                             TCP Nagle algorithm enable/disable
  -k, -keepalive                         keepalive message interval
  -m, -maxreconnect                      maximum reconnect attempt interval
  -C, -delayclose                        connection close delay after tty close
  -Y, -sync                              synchronize open with server
  -R, -limitrate                         limit data rate to server
  -M, -authterm                          terminator for server login credentials
  -G, -login                             supplemental login prompt
  -W, -pwd                               supplemental password prompt

Usage: pvquery -y|-tty DEV TTY-OPTION...
  -s, -server                            location of server
  -p, -port                              TCP port accepted by server
  -o, -protocol                          protocol used by server
  -r, -restore                           restore failed connections
  -E, -speed                           * baud rate
  -L, -length                          * data length
  -P, -parity                          * parity
  -S, -stop                            * stop bits
  -D, -dtr                             * DTR state on open
  -T, -rts                             * RTS state on open
  -I, -inflow                          * input flow control
  -O, -outflow                         * output flow control
  -a, -auth                              login to server
  -u, -username                          login user name
  -w, -password                          login password (shown only as set or not)
  -/, -chown                             tty owner
  -\, -chgrp                             tty group
  -_, -chmod                             read/write permissions

Without options, every setting of the general part or of the device is
listed. DEV may also be ALL, for every device.

Options marked "*" require device server support for Telnet with RFC 2217
extensions.

DEV is one or more device names made of letters, digits and the characters
"_-+", given without /dev; several names are separated by commas without
blanks.

)";

}  // namespace

const char* ConfigHelp::UsageText(bool configMode) {
    return configMode ? kConfigUsage : kQueryUsage;
}

int ConfigHelp::Run(const std::string& topic, bool configMode) {
    if (topic == "license" || topic == "eula") {
        pager_->Show(std::string(PortvaneLicenseText()) + "\n");
        return 0;
    }
    if (topic == "about") {
        return About();
    }
    pager_->Show(UsageText(configMode));
    return 0;
}

int ConfigHelp::About() {
    std::string reply;
    int status = requester_->Request("get config helpabout\n", reply);
    int exitStatus = PtyControlRequester::ReportFailure(status, reply, err_);
    requester_->Close();
    if (exitStatus != 0) {
        return exitStatus;
    }
    for (const auto& [key, value] : ParseAbout(reply)) {
        if (key == "VER") {
            fprintf(out_, "Portvane Version %s\n\n", value.c_str());
        }
    }
    return 0;
}

std::vector<std::pair<std::string, std::string>> ConfigHelp::ParseAbout(const std::string& reply) {
    static const boost::regex quoted("[[:blank:]]*([a-zA-Z0-9]+)=\"([^\"]*)\"(.*)");
    static const boost::regex plain("[[:blank:]]*([a-zA-Z0-9]+)=([^[:blank:]]*)(.*)");
    std::vector<std::pair<std::string, std::string>> items;
    std::string rest = reply;
    boost::smatch m;
    while (boost::regex_match(rest, m, quoted) || boost::regex_match(rest, m, plain)) {
        items.emplace_back(m.str(1), m.str(2));
        rest = m.str(3);
    }
    return items;
}
