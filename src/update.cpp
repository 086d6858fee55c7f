// One accepted update.
#include "src/update.h"

#include <utility>

#include "src/utils.h"

std::string update_command(const std::string& version) {
    // Never cut: a cut command would hand the script another version than
    // the one recorded, or break its quoting.
    return std::string(kUpdateScriptCommand) + " " + quote_for_shell(version);
}

Update make_update(Ticket ticket, std::string version) {
    std::string command = update_command(version);
    return {ticket, std::move(version), std::move(command)};
}
