#include "tools/pvtrace/TraceTool.h"

#include <signal.h>

#include <atomic>

#include "tools/control-client/LicenseText.h"

namespace {

const char kUsage[] = R"(pvtrace -help [license]

pvtrace shows the trace of all Portvane devices as it happens.

Examples:
  pvtrace                          show the trace on the terminal
  pvtrace -f +trace.log -f -       append it to trace.log and show it as well

Usage: pvtrace [OPTION]...
  -f, -outputfile FILE             sends output to FILE
  -f, -outputfile -                sends output to stdout
  -l, -ttylist DEV                 accepted; the trace always covers every device
  -h, -help [license]              help

FILE may be preceded by "+" to append to the file; otherwise a new file is
created and written. Several -f options send the trace to each of them;
without any, it goes to stdout. Ctrl-C ends the trace.

)";

std::atomic<PtyControlRequester*> signalTarget{nullptr};

void OnStopSignal(int) {
    PtyControlRequester* requester = signalTarget.load();
    if (requester != nullptr) {
        requester->Interrupt();
    }
}

}  // namespace

TraceTool::~TraceTool() {
    CloseOutputs();
}

const char* TraceTool::UsageText() {
    return kUsage;
}

const ToolOptionTable& TraceTool::Table() {
    static const ToolOptionTable table({
        {'l', "ttylist", OPT_ARG_ALWAYS, "", ToolValueKind::Text, ROLE_TTYLIST, "ALL", {}, false},
        {'f', "outputfile", OPT_ARG_ALWAYS, "", ToolValueKind::Text, ROLE_OUTPUT, "-", {}, false},
        {'h', "help", 0, "", ToolValueKind::Text, ROLE_HELP, nullptr, {}, false},
    });
    return table;
}

void TraceTool::InstallSignalHandlers(PtyControlRequester* requester) {
    signalTarget.store(requester);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Write errors on the outputs are ignored: a reader of stdout that goes
    // away must not end the copies to the other outputs.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

int TraceTool::Run(const std::vector<std::string>& args) {
    std::vector<Option> options;
    if (int status = Parse(args, &options)) {
        return status;
    }
    if (!options.empty() && options.front().row->role == ROLE_HELP) {
        const std::string& topic = options.front().value;
        bool license = topic == "license" || topic == "eula";
        pager_->Show(license ? std::string(PortvaneLicenseText()) + "\n" : kUsage);
        return 0;
    }
    if (int status = OpenOutputs(options)) {
        return status;
    }
    int status = Trace();
    CloseOutputs();
    return status;
}

int TraceTool::Parse(const std::vector<std::string>& args, std::vector<Option>* options) {
    for (size_t next = 0; next < args.size();) {
        const std::string& word = args[next++];
        const ToolOption* row = Table().Find(word);
        if (row == nullptr) {
            fprintf(err_, "Unknown option %s\n", word.c_str());
            return 1;
        }
        Option option{row, ""};
        if (!ToolOptionTable::TakeArgument(args, &next, &option.value)) {
            if (row->resetDefault == nullptr && (row->flags & OPT_ARG_ALWAYS)) {
                fprintf(err_, "Option %s requires an argument\n", word.c_str());
                return 3;
            }
            option.value = row->resetDefault != nullptr ? row->resetDefault : "";
        }
        options->push_back(option);
    }
    return 0;
}

int TraceTool::OpenOutputs(const std::vector<Option>& options) {
    for (const Option& o : options) {
        if (o.row->role != ROLE_OUTPUT) {
            continue;
        }
        if (o.value == "-") {
            outputs_.push_back(out_);
            continue;
        }
        bool append = !o.value.empty() && o.value[0] == '+';
        const std::string name = append ? o.value.substr(1) : o.value;
        FILE* file = fopen(name.c_str(), append ? "a" : "w");
        if (file == nullptr) {
            fprintf(err_, "Unable to open file %s\n", name.c_str());
            CloseOutputs();
            return 3;
        }
        outputs_.push_back(file);
    }
    // Without -f the trace goes to stdout, whatever other options were given.
    if (outputs_.empty()) {
        outputs_.push_back(out_);
    }
    outputs_.push_back(nullptr);
    return 0;
}

void TraceTool::CloseOutputs() {
    for (FILE* f : outputs_) {
        if (f != nullptr && f != out_) {
            fclose(f);
        }
    }
    outputs_.clear();
}

int TraceTool::Trace() {
    std::string reply;
    int status = requester_->Request("trace all\n", reply);
    // A trace that starts without its "OK" line within the reply time is
    // still worth showing.
    if (status != PtyControlRequester::STATUS_OK &&
        status != PtyControlRequester::STATUS_TIMED_OUT) {
        int exitStatus = PtyControlRequester::ReportFailure(status, reply, err_);
        requester_->Close();
        return exitStatus;
    }
    requester_->ReadStream(outputs_.data());
    requester_->Close();
    return 0;
}
