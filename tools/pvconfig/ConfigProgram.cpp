#include "tools/pvconfig/ConfigProgram.h"

#include <cstring>

#include "tools/pvconfig/ConfigCommandLine.h"
#include "tools/pvconfig/ConfigHelp.h"
#include "tools/pvconfig/ConfigOptions.h"
#include "tools/pvconfig/ConfigTool.h"
#include "tools/pvconfig/QueryTool.h"

bool ConfigProgram::IsConfigName(const char* programName) {
    return programName != nullptr && strstr(programName, "pvconfig") != nullptr;
}

int ConfigProgram::Run(const std::vector<std::string>& args) {
    ConfigCommandLine command(configMode_);
    if (int status = command.Parse(args)) {
        fputs(command.Error().c_str(), err_);
        return status;
    }
    if (command.Options().empty() && configMode_) {
        fputs("Error: no options specified\n", err_);
        return 2;
    }
    if (!command.Options().empty()) {
        const ConfigCommandLine::Option& first = command.Options().front();
        if (first.row->role == ConfigOptions::ROLE_VERSION) {
            fprintf(out_, "Portvane %s\n", kVersion);
            return 0;
        }
        if (first.row->role == ConfigOptions::ROLE_HELP) {
            return ConfigHelp(requester_, pager_, out_, err_).Run(first.value, configMode_);
        }
    }
    if (configMode_) {
        return ConfigTool(requester_, err_).Run(command);
    }
    return QueryTool(requester_, out_, err_).Run(command);
}
