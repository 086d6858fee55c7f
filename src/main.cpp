// Start-up of the edge box's control service.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "logging/logging.h"
#include "src/commands.h"
#include "src/server.h"
#include "src/shell_command.h"
#include "src/utils.h"

int main(int argc, char* argv[]) {
    const std::string name = getAppName();
    char empty_path[] = "";
    char* start_path = argc > 0 && argv[0] != nullptr ? argv[0] : empty_path;
    // Sized from the start path itself, so a path of any length fits.
    std::unique_ptr<char[]> dir(new char[std::strlen(start_path) + 1]());
    if (getExecutableDir(start_path, dir.get(), name.c_str()) != 0) {
        std::printf("Executable name Changed\n");
        std::fflush(stdout);
        return 0;
    }
    // An empty directory part (started through the search path) fails here
    // and the service stays where it was started.
    if (chdir(dir.get()) != 0) {
        // Nothing to do: the current directory is the working directory.
    }
    // Before the log and any record: a second service here must not write
    // "Waiting for command" over the first one's status.
    if (!lock_working_directory()) {
        tell_operator(
            "another skein_edge_updater already serves this directory; "
            "this one ends without touching anything");
        return 1;
    }

    try {
        weft::WeftLog::StartWeftLog(std::string("skein_edge_updater"), weft::INFO,
                                    "./logs/update_logs/", false);
    } catch (const std::invalid_argument& setting) {
        tell_operator(setting.what());
        return 1;
    } catch (const std::exception& error) {
        tell_operator(std::string("cannot open the log file: ") + error.what());
        return 1;
    }
    WEFT_LOG(INFO) << "Started SKEIN EDGE UPDATER ##";
    configure_limits();
    initialize_directories();
    if (run_shell_command("chmod +x *.sh") != 0) {
        // A box without scripts is still served; the routes report failures.
    }
    update_status_file(WAITING_FOR_COMMAND);
    start_server();
}
