// The configuration file's tables, read one way by the core and by every
// output's section (config.h's ConfigSection): a key's type and range are
// checked and worded once, an unknown key is refused with the closest known
// one, and every problem is kept with its line rather than thrown at the
// first, so that --check, the start and a reload name every mistake in the
// file. A value that is refused leaves the default in place: what is read
// after it is judged against something sound, and no problem is reported
// that only follows from an earlier one.
//
// Only the gateway reads TOML, so this lives beside its configuration
// rather than in common/, which builds for Windows and 32-bit Linux too
// where toml++ is no dependency.
#ifndef QOR_GATEWAY_CORE_SECTION_READER_H
#define QOR_GATEWAY_CORE_SECTION_READER_H

#include <toml++/toml.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qor::gateway {

struct ConfigProblem {
    unsigned line = 0;
    std::string reason;
};

// Every problem found in one file.
class ConfigProblems {
  public:
    void Add(unsigned line, std::string reason);
    std::size_t Count() const { return list_.size(); }
    bool Empty() const { return list_.empty(); }
    // "FILE:LINE: reason", one each, in the file's order.
    std::vector<std::string> Lines(const std::string &path) const;

  private:
    std::vector<ConfigProblem> list_;
};

unsigned LineOf(const toml::node &node);

// What an output's section reader is given: its table in the file
// (nullptr without one), the file's problems, the folder relative file
// names are taken from, and whether the links were read without a problem.
// A reference to a link, a module or a poll (Modbus's scaled registers) is
// checked only then: after a broken link it would repeat that problem.
struct SectionInput {
    const toml::node *node;
    ConfigProblems &problems;
    const std::string &base_dir;
    bool links_sound;
};

// One table of the file.
class SectionReader {
  public:
    // title names the table in messages: "[broker]", "poll \"door\"". A
    // node that is not a table is reported as such, and IsTable() is false.
    SectionReader(const toml::node &node, std::string title, ConfigProblems &problems);

    bool IsTable() const { return table_ != nullptr; }
    const std::string &Title() const { return title_; }
    unsigned Line() const { return line_; }
    const toml::node *Get(std::string_view key) const;
    ConfigProblems &Problems() { return problems_; }

    // Refuses every key of the table but these, naming the closest of them.
    void Known(const std::vector<std::string_view> &keys);
    // A key that must be there: "WHO needs "KEY"" when it is not (who: the
    // title when empty), unless a mistyped key was taken for it.
    const toml::node *Need(std::string_view key, const std::string &who = "");

    // The typed reads of optional keys. A key left out keeps *out and is
    // fine (true); a value of the wrong type or out of range is reported
    // at its line, keeps *out and returns false. The forms taking a node
    // read a value that is not a key of the table (an item of a list),
    // named by key in the message.
    bool Text(std::string_view key, std::string *out);
    bool Text(const toml::node &node, std::string_view key, std::string *out);
    bool Flag(std::string_view key, bool *out);
    bool Number(std::string_view key, double *out);  // finite
    bool Number(const toml::node &node, std::string_view key, double *out);
    bool Whole(std::string_view key, long long lo, long long hi, long long *out);
    bool Whole(const toml::node &node, std::string_view key, long long lo, long long hi,
               long long *out);
    template <typename T>
    bool Whole(std::string_view key, long long lo, long long hi, T *out) {
        long long value = static_cast<long long>(*out);
        bool fine = Whole(key, lo, hi, &value);
        *out = static_cast<T>(value);
        return fine;
    }
    // One of words, as its index.
    bool Choice(std::string_view key, const std::vector<std::string_view> &words, std::size_t *out);
    // Topic levels joined by '/', as an MQTT topic name allows them.
    bool TopicPrefix(std::string_view key, std::string *out);
    // A file the gateway reads: its path taken from base_dir when relative,
    // readable (else the system's reason) and a regular file.
    bool File(std::string_view key, const std::string &base_dir, std::string *out);

    // A problem with a key, at its line: the key counts as refused.
    void Refuse(std::string_view key, const std::string &reason);
    // A problem at a node of the table (an item of a key's list).
    void RefuseAt(const toml::node &at, std::string_view key, const std::string &reason);
    // A problem with the table as a whole, at its line.
    void Refuse(const std::string &reason);
    bool Refused(std::string_view key) const;
    // Nothing was reported about the table since it was made.
    bool Sound() const { return problems_.Count() == problems_before_; }

  private:
    const toml::table *table_ = nullptr;
    std::string title_;
    unsigned line_ = 0;
    ConfigProblems &problems_;
    std::size_t problems_before_ = 0;
    std::vector<std::string> refused_;
    std::vector<std::string> suggested_;  // by Known, for a mistyped key
};

// Text for a name of the file: no control character, valid UTF-8.
bool HasControl(std::string_view text);
bool ValidUtf8(const std::string &text);
// file taken from base_dir unless it is absolute.
std::string ResolvePath(const std::string &base_dir, const std::string &file);
// The words of a list ("rd nd rz") one by one, for DidYouMean.
std::vector<std::string> WordsOf(const std::string &list);

}  // namespace qor::gateway

#endif
