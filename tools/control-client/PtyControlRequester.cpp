#include "tools/control-client/PtyControlRequester.h"

int PtyControlRequester::ReportFailure(int status, const std::string& text, FILE* err) {
    switch (status) {
        case STATUS_OK:
            return 0;
        case STATUS_ERR:
            fprintf(err, "Error: %s\n", text.c_str());
            return 4;
        case STATUS_CLOSED:
        case STATUS_NOT_DELIVERED:
            fprintf(err, "Error contacting server: %s\n", text.c_str());
            return 5;
        default:
            fprintf(err, "Error: %s\n", text.c_str());
            return 5;
    }
}
