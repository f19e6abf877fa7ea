#include "gateway/core/queries.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "catalogue/calls.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

const catalogue::Command &RowOf(Query query) {
    return catalogue::RowOf(static_cast<CommandCode>(query));
}

bool Takes(Query query, catalogue::ArgKind kind) {
    const catalogue::Command &row = RowOf(query);
    return std::find(row.args, row.args + row.arg_count, kind) != row.args + row.arg_count;
}

// The row's arguments from the poll: a DI's count, index and bit, or a bit
// number.
catalogue::CallArgs ArgsOf(const catalogue::Command &row, const PollSpec &poll) {
    catalogue::CallArgs args;
    for (std::size_t i = 0; i < row.arg_count && i < catalogue::kMaxArgs; ++i) {
        switch (row.args[i]) {
            case catalogue::ArgKind::kDiCount:
                args.ints[args.int_count++] = poll.bytes;
                break;
            case catalogue::ArgKind::kDiIndex:
                args.ints[args.int_count++] = poll.byte;
                break;
            default:
                args.ints[args.int_count++] = poll.bit;
                break;
        }
    }
    return args;
}

}  // namespace

std::optional<Query> QueryFromName(std::string_view name) {
    const catalogue::Command *row = catalogue::FindWord(name);
    if (row == nullptr || !row->query || !catalogue::HasCall(*row)) {
        return std::nullopt;
    }
    return static_cast<Query>(row->code);
}

const char *QueryName(Query query) {
    return RowOf(query).word;
}

bool QueryTakesBit(Query query) {
    return Takes(query, catalogue::ArgKind::kBitNumber) || Takes(query, catalogue::ArgKind::kDiBit);
}

bool QueryTakesBytes(Query query) {
    return Takes(query, catalogue::ArgKind::kDiCount);
}

int QueryHighestBit(Query query) {
    const catalogue::ArgKind kind = Takes(query, catalogue::ArgKind::kDiBit)
                                        ? catalogue::ArgKind::kDiBit
                                        : catalogue::ArgKind::kBitNumber;
    return static_cast<int>(catalogue::ArgOf(kind).high);
}

bool QueryGivesValue(Query query) {
    return catalogue::IsValueQuery(RowOf(query));
}

double TwoDecimals(float value) {
    return std::round(static_cast<double>(value) * 100.0) / 100.0;
}

Reading RunQuery(int port, char address, const PollSpec &poll) {
    const catalogue::Command &row = RowOf(poll.query);
    catalogue::CallResult result;
    catalogue::Call(row, port, address, ArgsOf(row, poll), result);
    Reading r;
    r.status = result.status;
    r.error = result.error;
    r.mode = result.mode;
    r.integral =
        row.result == catalogue::ResultKind::kCount || row.result == catalogue::ResultKind::kBit;
    r.value = r.integral ? static_cast<double>(result.count)
                         : TwoDecimals(static_cast<float>(result.value));
    return r;
}

}  // namespace qor::gateway
