// What the HTTP server answers for the status page, after it has checked
// the user and the method: the page's files (/, /assets/...), /api/state
// (the whole plant, or with ?since= what changed) and /api/history (a
// poll's trend, or a link's sparklines). It keeps the history, fed from
// every reading, and when each output's trouble began.
#ifndef QOR_GATEWAY_HTTP_PAGE_ROUTES_H
#define QOR_GATEWAY_HTTP_PAGE_ROUTES_H

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/core/load_plan.h"
#include "gateway/core/outputs.h"
#include "gateway/core/plant_state.h"
#include "gateway/http/history.h"
#include "gateway/http/metrics.h"
#include "gateway/http/problems.h"

struct MHD_Connection;

namespace qor::gateway {

// Where the history of a configuration lives: beside the spool's file
// ("gw.db" keeps it in "gw.history.db"), or nowhere (RAM) without a spool.
std::string HistoryPath(const Config &config);

class PageRoutes {
  public:
    PageRoutes(PlantState &plant, const Outputs &outputs) : plant_(plant), outputs_(outputs) {}

    // The HTTP output's own lifecycle: the next configuration's load plan,
    // then its layout of the history (opened at the first commit with
    // [http] on). The history outlives a server switched off by a reload;
    // it writes its open minutes when it is destroyed.
    void Prepare(const Config &next);
    void Commit();
    void Rollback();
    void OnReading(const PollRef &poll, const Reading &reading);

    static bool Serves(const std::string &url);
    // A GET or HEAD of a path Serves().
    bool Answer(MHD_Connection *connection, const std::string &url, const GatewayInfo &info);
    // The history's figures for /metrics.
    std::vector<Figure> Figures() const;

  private:
    bool State(MHD_Connection *connection, const GatewayInfo &info);
    bool History(MHD_Connection *connection);
    bool PollHistoryJson(MHD_Connection *connection, const std::string &key, int hours);
    bool LinkMeans(MHD_Connection *connection, const std::string &link, int minutes);
    std::vector<LinkLoad> Plan() const;

    PlantState &plant_;
    const Outputs &outputs_;
    HistoryStore history_;
    ProblemClock clock_;

    mutable std::mutex mutex_;
    std::vector<LinkLoad> plan_;
    std::optional<Config> next_;
    bool history_open_ = false;  // only the thread that commits reads and writes it
};

}  // namespace qor::gateway

#endif
