#include "queries.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "catalogue.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

// The catalogue row of each query (catalogue/catalogue.h): names, arguments
// and limits come from there; RunQuery makes the call.
constexpr std::pair<Query, CommandCode> kQueryCodes[] = {
    {Query::kRd, RD}, {Query::kNd, ND}, {Query::kRz, RZ}, {Query::kRh, RH},
    {Query::kRl, RL}, {Query::kRe, RE}, {Query::kRb, RB}, {Query::kDi, DI},
};

const catalogue::Command &RowOf(Query query) {
    for (const auto &[known, code] : kQueryCodes) {
        if (known == query) {
            return catalogue::RowOf(code);
        }
    }
    return catalogue::RowOf(RD);
}

bool Takes(Query query, catalogue::ArgKind kind) {
    const catalogue::Command &row = RowOf(query);
    return std::find(row.args, row.args + row.arg_count, kind) != row.args + row.arg_count;
}

}  // namespace

std::optional<Query> QueryFromName(std::string_view name) {
    const catalogue::Command *row = catalogue::FindWord(name);
    if (row == nullptr || !row->query) {
        return std::nullopt;
    }
    for (const auto &[query, code] : kQueryCodes) {
        if (code == row->code) {
            return query;
        }
    }
    return std::nullopt;
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

double TwoDecimals(float value) {
    return std::round(static_cast<double>(value) * 100.0) / 100.0;
}

Reading RunQuery(int port, char address, const PollSpec &poll) {
    Reading r;
    int *s = &r.status;
    int *e = &r.error;
    switch (poll.query) {
        case Query::kRd:
            r.value = TwoDecimals(QOR_RD(port, address, s, e));
            break;
        case Query::kNd:
            r.value = TwoDecimals(QOR_ND(port, address, s, e));
            break;
        case Query::kRz:
            r.value = TwoDecimals(QOR_RZ(port, address, s, e));
            break;
        case Query::kRh:
            r.value = TwoDecimals(QOR_RH(port, address, &r.mode, s, e));
            break;
        case Query::kRl:
            r.value = TwoDecimals(QOR_RL(port, address, &r.mode, s, e));
            break;
        case Query::kRe:
            r.value = QOR_RE(port, address, s, e);
            r.integral = true;
            break;
        case Query::kRb:
            r.value = QOR_RB(port, address, poll.bit, s, e);
            r.integral = true;
            break;
        case Query::kDi:
            r.value = QOR_DI(port, address, poll.bytes, poll.byte, poll.bit, s, e);
            r.integral = true;
            break;
    }
    return r;
}

}  // namespace qor::gateway
