// The running whole over outputs that only record what they are asked: a
// start and a reload prepare every output before any commits, a failure
// rolls back what was prepared and changes nothing, and two outputs that
// listen on one port are refused by the check.
#include "gateway/core/gateway.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qor::gateway {
namespace {

// What every fake output records, and which of them fails to prepare.
struct Script {
    std::vector<std::string> log;
    std::string failing;  // the name of the output whose Prepare fails
};

class Fake : public Output {
  public:
    Fake(const char *name, Script *script, Listener listener)
        : name_(name), script_(script), listener_(std::move(listener)) {}
    const char *Name() const override { return name_; }
    std::vector<Listener> Listeners(const Config &) const override {
        if (listener_.port == 0) {
            return {};
        }
        return {listener_};
    }
    bool Prepare(const Config &next, const std::function<bool()> &, std::string *why) override {
        script_->log.push_back(std::string(name_) + " prepare " + next.links[0].name);
        if (script_->failing == name_) {
            *why = AtLine(7, std::string("[") + name_ + "] cannot");
            return false;
        }
        return true;
    }
    void Commit() override { script_->log.push_back(std::string(name_) + " commit"); }
    void Rollback() override { script_->log.push_back(std::string(name_) + " rollback"); }
    void Stop(Clock::time_point) override { script_->log.push_back(std::string(name_) + " stop"); }
    OutputHealth Health() const override { return {}; }

  private:
    const char *name_;
    Script *script_;
    Listener listener_;
};

OutputFactory Fakes(Script *script, Listener a = {}, Listener b = {}) {
    return [script, a, b](const OutputServices &) {
        std::vector<std::unique_ptr<Output>> outputs;
        outputs.push_back(std::make_unique<Fake>("a", script, a));
        outputs.push_back(std::make_unique<Fake>("b", script, b));
        outputs.push_back(std::make_unique<Fake>("c", script, Listener{}));
        return outputs;
    };
}

// A link nobody listens on: its poller runs and fails to open, which is
// all a lifecycle needs.
Config OneLink(const char *name) {
    Config c;
    LinkSpec link;
    link.name = name;
    link.target = "socket://127.0.0.1:9?timeout_ms=50";
    ModuleSpec m;
    m.name = "m";
    link.modules.push_back(m);
    c.links.push_back(link);
    c.flush_timeout = std::chrono::seconds(0);
    return c;
}

using Log = std::vector<std::string>;

TEST(GatewayLifecycle, EveryOutputPreparesBeforeAnyCommits) {
    Script script;
    Gateway gateway(Fakes(&script));
    std::string why;
    ASSERT_TRUE(gateway.Start(OneLink("one"), &why)) << why;
    EXPECT_EQ(script.log, (Log{"a prepare one", "b prepare one", "c prepare one", "a commit",
                               "b commit", "c commit"}));
    EXPECT_TRUE(gateway.Running());
    script.log.clear();
    ASSERT_TRUE(gateway.Reload(OneLink("two"), nullptr, &why)) << why;
    EXPECT_EQ(script.log, (Log{"a prepare two", "b prepare two", "c prepare two", "a commit",
                               "b commit", "c commit"}));
    script.log.clear();
    gateway.Stop();
    EXPECT_EQ(script.log, (Log{"a stop", "b stop", "c stop"}));
}

// The last output to prepare fails: the ones before roll back, none
// commits, and the running links and plant state stay as they were.
TEST(GatewayLifecycle, AReloadThatFailsAtTheLastOutputChangesNothing) {
    Script script;
    Gateway gateway(Fakes(&script));
    std::string why;
    ASSERT_TRUE(gateway.Start(OneLink("one"), &why)) << why;
    script.log.clear();
    script.failing = "c";
    EXPECT_FALSE(gateway.Reload(OneLink("two"), nullptr, &why));
    EXPECT_EQ(why, "7: [c] cannot");
    EXPECT_EQ(script.log,
              (Log{"a prepare two", "b prepare two", "c prepare two", "b rollback", "a rollback"}));
    EXPECT_TRUE(gateway.Running());
    // A start that fails is refused the same way.
    Script other;
    other.failing = "b";
    Gateway refused(Fakes(&other));
    EXPECT_FALSE(refused.Start(OneLink("one"), &why));
    EXPECT_EQ(other.log, (Log{"a prepare one", "b prepare one", "a rollback"}));
    EXPECT_FALSE(refused.Running());
}

TEST(GatewayLifecycle, TwoOutputsOnOnePortAreRefusedWithBothNamed) {
    struct Case {
        Listener a;
        Listener b;
        bool collide;
    } cases[] = {
        {{"[http]", "127.0.0.1", 8080, 3}, {"[modbus]", "127.0.0.1", 8080, 9}, true},
        {{"[http]", "0.0.0.0", 502, 3}, {"[modbus]", "127.0.0.1", 502, 9}, true},
        {{"[http]", "127.0.0.1", 502, 3}, {"[modbus]", "::", 502, 9}, true},
        {{"[http]", "127.0.0.1", 8080, 3}, {"[modbus]", "127.0.0.2", 8080, 9}, false},
        {{"[http]", "127.0.0.1", 8080, 3}, {"[modbus]", "127.0.0.1", 1502, 9}, false},
    };
    for (const Case &c : cases) {
        Script script;
        Gateway gateway(Fakes(&script, c.a, c.b));
        std::string why = gateway.Check(OneLink("one"));
        if (!c.collide) {
            EXPECT_EQ(why, "") << c.a.host << " " << c.b.host;
            continue;
        }
        EXPECT_EQ(why, "9: [modbus] and [http] (line 3) both listen on port " +
                           std::to_string(c.a.port) + " (" + c.b.host + ", " + c.a.host +
                           "); give each its own");
        // The start is refused before anything prepares.
        EXPECT_FALSE(gateway.Start(OneLink("one"), &why));
        EXPECT_TRUE(script.log.empty());
    }
}

}  // namespace
}  // namespace qor::gateway
