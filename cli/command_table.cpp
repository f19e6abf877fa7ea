// One row per library export, made from the catalogue's rows and calls: the
// parser, the help text, poll and the demo all read this table. Adding an
// export adds nothing here.
#include <algorithm>

#include "catalogue/calls.h"
#include "cli/cli.h"

namespace qor::cli {
namespace {

// Every row's call: the catalogue's (catalogue/calls.h), with the
// invocation's arguments and into the outcome's fields.
void CallRow(int port, int address, const Invocation &invocation, Outcome &o) {
    catalogue::CallArgs args;
    args.value = invocation.value;
    args.mode = invocation.mode;
    for (int n : invocation.ints) {
        if (args.int_count < catalogue::kMaxArgs) {
            args.ints[args.int_count++] = n;
        }
    }
    catalogue::CallResult result;
    catalogue::Call(*invocation.row->entry, port, address, args, result);
    o.status = result.status;
    o.error = result.error;
    o.value = result.value;
    o.mode = result.mode;
    o.count = result.count;
}

// One row per catalogue row, in its order (the unit tests check that each
// has its call).
std::vector<CommandRow> BuildTable() {
    std::vector<CommandRow> table;
    for (const catalogue::Command &c : catalogue::kCatalogue) {
        table.push_back({c.word, c.export_name, std::vector<ArgKind>(c.args, c.args + c.arg_count),
                         c.result, c.query, c.repeat_hazard, c.summary,
                         catalogue::HasCall(c) ? CallRow : nullptr, &c});
    }
    return table;
}

const std::vector<CommandRow> kCommandTable = BuildTable();

}  // namespace

const std::vector<CommandRow> &CommandTable() {
    return kCommandTable;
}

const CommandRow *FindCommand(std::string_view name) {
    auto it = std::find_if(kCommandTable.begin(), kCommandTable.end(),
                           [&](const CommandRow &c) { return name == c.name; });
    return it == kCommandTable.end() ? nullptr : &*it;
}

}  // namespace qor::cli
