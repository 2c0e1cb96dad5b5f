#include "tools/pvconfig/QueryTool.h"

#include <strings.h>

#include "common/config/PtyListIterator.h"
#include "tools/pvconfig/ConfigOptions.h"
#include "tools/pvconfig/ConfigRequest.h"

namespace {

// ttylist, then the settings that apply without -tty or everywhere.
bool InGeneralListing(const ToolOption& row) {
    bool deviceList = row.role == ConfigOptions::ROLE_DEVICES && !(row.flags & OPT_UNLISTED);
    return deviceList || row.flags == 0 || row.flags == OPT_WITHOUT_TTY;
}

bool InDeviceListing(const ToolOption& row) {
    return row.flags == 0 || row.flags == OPT_WITH_TTY;
}

}  // namespace

int QueryTool::Run(const ConfigCommandLine& command) {
    int status;
    if (!command.HaveTty()) {
        status = command.Options().empty()
                     ? List(InGeneralListing, nullptr)
                     : ListSelected(command, nullptr, command.Options().size() > 1);
    } else {
        const std::string& tty = command.Tty();
        bool several = strcasecmp(tty.c_str(), "ALL") == 0 || tty.find(',') != std::string::npos;
        status =
            several ? RunDevices(command) : ListDevice(command, tty, command.Options().size() > 1);
    }
    requester_->Close();
    return status;
}

int QueryTool::RunDevices(const ConfigCommandLine& command) {
    std::string devices = command.Tty();
    if (strcasecmp(devices.c_str(), "ALL") == 0) {
        if (int status = Get("get config Ports\n", &devices)) {
            return status;
        }
    }
    for (PtyListIterator it(devices); !it.AtEnd(); it.Next()) {
        const std::string device = it.Current();
        fprintf(out_, "tty:\t\t%s\n", device.c_str());
        if (int status = ListDevice(command, device, true)) {
            return status;
        }
        fputs("\n", out_);
    }
    return 0;
}

int QueryTool::ListDevice(const ConfigCommandLine& command, const std::string& device,
                          bool labels) {
    return command.Options().empty() ? List(InDeviceListing, &device)
                                     : ListSelected(command, &device, labels);
}

int QueryTool::List(const std::function<bool(const ToolOption&)>& filter, const std::string* tty) {
    for (const ToolOption& row : ConfigOptions::Table().Rows()) {
        if (!filter(row)) {
            continue;
        }
        std::string reply;
        if (int status = Get(ConfigRequest::Get(row, tty), &reply)) {
            return status;
        }
        if (reply.empty() && row.resetDefault == nullptr) {
            continue;
        }
        fprintf(out_, "%s%s\n", ConfigRequest::Label(row).c_str(),
                ConfigRequest::Display(row, reply).c_str());
    }
    return 0;
}

int QueryTool::ListSelected(const ConfigCommandLine& command, const std::string* tty, bool labels) {
    for (const ConfigCommandLine::Option& o : command.Options()) {
        std::string reply;
        if (int status = Get(ConfigRequest::Get(*o.row, tty), &reply)) {
            return status;
        }
        fprintf(out_, "%s%s\n", labels ? ConfigRequest::Label(*o.row).c_str() : "",
                ConfigRequest::Display(*o.row, reply).c_str());
    }
    return 0;
}

int QueryTool::Get(const std::string& request, std::string* reply) {
    int status = requester_->Request(request, *reply);
    return PtyControlRequester::ReportFailure(status, *reply, err_);
}
