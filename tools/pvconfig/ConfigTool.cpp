#include "tools/pvconfig/ConfigTool.h"

#include "tools/pvconfig/ConfigOptions.h"
#include "tools/pvconfig/ConfigRequest.h"

int ConfigTool::Run(const ConfigCommandLine& command) {
    bool reset = command.Options().front().row->role == ConfigOptions::ROLE_RESET;
    int status = reset ? Reset(command) : SendOptions(command);
    requester_->Close();
    return status;
}

int ConfigTool::SendOptions(const ConfigCommandLine& command) {
    const std::string* tty = command.HaveTty() ? &command.Tty() : nullptr;
    for (const ConfigCommandLine::Option& o : command.Options()) {
        std::string reply;
        int status =
            requester_->Request(ConfigRequest::Change(*o.row, tty, o.hasValue, o.value), reply);
        if (status != PtyControlRequester::STATUS_OK) {
            return PtyControlRequester::ReportFailure(status, reply, err_);
        }
    }
    return 0;
}

int ConfigTool::Reset(const ConfigCommandLine& command) {
    const std::string* tty = command.HaveTty() ? &command.Tty() : nullptr;
    const int situation = tty != nullptr ? OPT_WITH_TTY : OPT_WITHOUT_TTY;
    const std::vector<ToolOption>& rows = ConfigOptions::Table().Rows();
    // The device population (ttylist, the first row) is never reset.
    for (size_t i = 1; i < rows.size(); ++i) {
        const ToolOption& row = rows[i];
        bool fits = row.flags == 0 || (row.flags & situation);
        if (row.key[0] == '\0' || (row.flags & OPT_UNLISTED) || !fits) {
            continue;
        }
        bool hasDefault = row.resetDefault != nullptr;
        std::string request =
            ConfigRequest::Change(row, tty, hasDefault, hasDefault ? row.resetDefault : "");
        std::string reply;
        int status = requester_->Request(request, reply);
        if (status == PtyControlRequester::STATUS_ERR) {
            fprintf(err_, "Error resetting %s option: %s\n", row.longForm, reply.c_str());
            return 4;
        }
        if (status != PtyControlRequester::STATUS_OK) {
            return PtyControlRequester::ReportFailure(status, reply, err_);
        }
    }
    return 0;
}
