#include "tools/records/records.h"

namespace kormelt::records {

struct RecordStore::Impl {};

bool RecordsAvailable() { return false; }

std::string DefaultRecordsPath(std::string *error) {
    *error = "records are not available on Windows";
    return "";
}

const char *OutcomeWord(Outcome outcome) {
    return outcome == Outcome::Ok ? "ok" : outcome == Outcome::Cancelled ? "cancelled" : "failed";
}

RecordStore::RecordStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RecordStore::~RecordStore() = default;

std::unique_ptr<RecordStore> RecordStore::Open(const std::string &, OpenMode, std::string *error) {
    *error = "records are not available on Windows";
    return nullptr;
}

// No store is ever opened, so none of these is reached.
bool RecordStore::Start(const UpdateStart &, int64_t *, std::string *) { return false; }
bool RecordStore::Complete(int64_t, const UpdateEnd &, std::string *) { return false; }
bool RecordStore::Query(const RecordFilter &, std::vector<UpdateRecord> *, std::string *) { return false; }
int RecordStore::schema_version() const { return 0; }
const std::string &RecordStore::path() const {
    static const std::string none;
    return none;
}

}  // namespace kormelt::records
