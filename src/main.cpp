// Start-up of the edge box's control service.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "logging/logging.h"
#include "src/commands.h"
#include "src/utils.h"

int main(int /*argc*/, char* argv[]) {
    const std::string name = getAppName();
    // Sized from the start path itself, so a path of any length fits.
    std::unique_ptr<char[]> dir(new char[std::strlen(argv[0]) + 1]());
    if (getExecutableDir(argv[0], dir.get(), name.c_str()) != 0) {
        std::printf("Executable name Changed\n");
        std::fflush(stdout);
        return 0;
    }
    // An empty directory part (started through the search path) fails here
    // and the service stays where it was started.
    (void)chdir(dir.get());

    weft::WeftLog::StartWeftLog(std::string("skein_edge_updater"), weft::INFO,
                                "./logs/update_logs/", false);
    WEFT_LOG(INFO) << "Started SKEIN EDGE UPDATER ##";
    initialize_directories();
    (void)std::system("chmod +x *.sh");
    update_status_file(WAITING_FOR_COMMAND);
    return 0;
}
