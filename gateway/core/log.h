// The daemon's log: one line per event on standard error, which systemd's
// journal (or whoever started the daemon) collects, time-stamped unless
// the journal does that. Text from outside
// (payloads, topics, module replies, the broker's reasons) goes in through
// Quoted; Log escapes whatever control byte is left and bounds the line, so
// that no event ever takes two lines or forges another.
#ifndef QOR_GATEWAY_LOG_H
#define QOR_GATEWAY_LOG_H

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace qor::gateway {

enum class Level { kError, kWarning, kInfo, kTrace };

// The longest line written; longer messages are cut and marked.
constexpr std::size_t kMaxLogLine = 2048;

// Writes "qor-gateway: LEVEL: message" as one line, after its time in UTC
// ("2025-03-01T12:00:00.250Z ") unless standard error is the journal, which
// stamps each line itself; lines from different threads never interleave.
// kTrace lines appear only with SetVerbose(true).
void Log(Level level, const std::string &message);
// Whether standard error is the stream journald gave the process.
bool StderrIsJournal();
void SetVerbose(bool verbose);
bool Verbose();

// Outside text for a message: escaped ("\n", "\x1b"), at most limit bytes
// of it (then "..."), in double quotes.
std::string Quoted(std::string_view text, std::size_t limit = 200);

// Events that can come in floods (refused commands, failed connects): the
// first few of a kind in each period are logged whole; the rest are counted
// and summarised when the period ends, as "412 more commands refused in the
// last 10 s (the last: too many commands waiting on the link)". kind is a
// fixed text that names the event in the summary.
void LogRepeated(Level level, const char *kind, const std::string &message,
                 const std::string &reason);
// Writes the summaries of the periods that have ended; called now and then
// (the broker session's thread does, at least once a second).
void FlushRepeated();

constexpr std::chrono::seconds kRepeatPeriod{10};
constexpr int kRepeatsLogged = 5;

}  // namespace qor::gateway

#endif
