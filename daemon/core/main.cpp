#include "daemon/core/PTYRedirectorManager.h"

int main(int argc, char** argv) {
    PTYRedirectorManager manager;
    if (manager.Startup(argc, argv)) {
        manager.RunEventLoop();
        manager.Shutdown();
    }
    return 0;
}
