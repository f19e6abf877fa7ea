#include "queries.h"

#include <array>
#include <cmath>
#include <utility>

#include "qor_dll.h"

namespace qor::gateway {

namespace {

constexpr std::array<std::pair<Query, const char *>, 8> kQueryNames{{
    {Query::kRd, "rd"},
    {Query::kNd, "nd"},
    {Query::kRz, "rz"},
    {Query::kRh, "rh"},
    {Query::kRl, "rl"},
    {Query::kRe, "re"},
    {Query::kRb, "rb"},
    {Query::kDi, "di"},
}};

}  // namespace

std::optional<Query> QueryFromName(std::string_view name) {
    for (const auto &[query, text] : kQueryNames) {
        if (name == text) {
            return query;
        }
    }
    return std::nullopt;
}

const char *QueryName(Query query) {
    for (const auto &[known, text] : kQueryNames) {
        if (known == query) {
            return text;
        }
    }
    return "?";
}

bool QueryTakesBit(Query query) {
    return query == Query::kRb || query == Query::kDi;
}

bool QueryTakesBytes(Query query) {
    return query == Query::kDi;
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
