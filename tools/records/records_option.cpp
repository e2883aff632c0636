#include "tools/records/records_option.h"

#include "tools/records/records.h"

namespace kormelt::records {

CLI::Option *AddRecordsOption(CLI::App &command, std::string *path, const std::string &what) {
    return command.add_option("--records", *path, what + " (default $XDG_DATA_HOME/kormelt/records.sqlite3, else ~/.local/share/kormelt/records.sqlite3)")
        ->type_name("FILE");
}

std::string RecordsPath(const std::string &option, std::string *error) {
    return option.empty() ? DefaultRecordsPath(error) : option;
}

}  // namespace kormelt::records
