// The command intake: every source's command passes the same checks, is
// queued on its link, and is answered once through the outputs, run or
// refused, with the kind of refusal a source that answers in codes (Modbus)
// needs. The pollers here are real but not started: what they hold is
// what was queued.
#include "gateway/core/intake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/outputs.h"
#include "gateway/core/poller.h"
#include "tests/gateway/core/listening_output.h"

namespace qor::gateway {
namespace {

// Every result the intake answers with.
class Answers : public ListeningOutput {
  public:
    const char *Name() const override { return "answers"; }
    void OnResult(const Command &command, const CommandResult &result) override {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(command);
        results.push_back(result);
    }
    std::mutex mutex;
    std::vector<Command> commands;  // as they were queued
    std::vector<CommandResult> results;
};

PollSpec Poll(const char *name, Query query, Scaling scaling = {}) {
    PollSpec p;
    p.name = name;
    p.query = query;
    p.scaling = scaling;
    return p;
}

// One link, one module: an "rb" poll that is a switch, the limits scaled
// differently (so that a limit taking the other's scaling shows), hi, lo and
// the bit commands writable.
Config Plant() {
    Config c;
    LinkSpec link;
    link.name = "bus";
    link.target = "socket://127.0.0.1:9";
    ModuleSpec m;
    m.name = "boiler";
    m.polls = {Poll("rd", Query::kRd), Poll("high", Query::kRh, {2, 0}),
               Poll("low", Query::kRl, {10, 100}), Poll("valve", Query::kRb)};
    m.polls[3].bit = 5;
    m.writable = {CommandKind::kHi, CommandKind::kLo, CommandKind::kSb, CommandKind::kCb};
    link.modules.push_back(m);
    c.links.push_back(link);
    return c;
}

struct Fixture {
    Fixture() : outputs(plant), intake(outputs), config(Plant()) {
        outputs.Add(&answers);
        plant.Layout(config);
        poller = std::make_unique<LinkPoller>(config.links[0], 0, 63, PollerSettings{}, outputs);
        intake.Open(&config, {poller.get()});
    }
    Command For(const char *name, const char *module = "boiler") {
        Command c;
        c.link = "bus";
        c.module = module;
        c.name = name;
        return c;
    }
    PlantState plant;
    Outputs outputs;
    Answers answers;
    CommandIntake intake;
    Config config;
    std::unique_ptr<LinkPoller> poller;
};

TEST(GatewayIntake, TextCommandsAreCheckedOnceWithTheKindOfRefusal) {
    struct Case {
        const char *name;
        const char *module;
        const char *payload;
        Refusal refusal;  // kNone: queued
        const char *reason;
    } cases[] = {
        {"hi", "boiler", R"({"value": 50})", Refusal::kNone, ""},
        {"hi", "pump", R"({"value": 50})", Refusal::kTarget, "no module \"pump\" on link \"bus\""},
        {"sp", "boiler", R"({"value": 1})", Refusal::kTarget,
         "\"sp\" is not writable on module \"boiler\""},
        {"xx", "boiler", "{}", Refusal::kTarget, "no command \"xx\""},
        {"hi", "boiler", R"({"value": "50"})", Refusal::kArguments, "\"value\" has the wrong type"},
        // A switch: "ON" and "OFF" only.
        {"valve", "boiler", "ON", Refusal::kNone, ""},
        {"valve", "boiler", "on", Refusal::kArguments, "a bit takes \"ON\" or \"OFF\""},
        {"rd", "boiler", "ON", Refusal::kTarget, "no command \"rd\""},
        // The high limit is raw * 2: 300000 would be 150000 to the module.
        {"hi", "boiler", R"({"value": 300000})", Refusal::kArguments, ""},
    };
    for (const Case &c : cases) {
        Fixture f;
        std::string refused = f.intake.SubmitText(f.For(c.name, c.module), c.payload);
        if (c.refusal == Refusal::kNone) {
            EXPECT_EQ(refused, "") << c.name << " " << c.payload;
            EXPECT_TRUE(f.answers.results.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(f.answers.results.size(), 1u) << c.name << " " << c.payload;
        const CommandResult &r = f.answers.results[0];
        EXPECT_FALSE(r.ran);
        EXPECT_EQ(r.refusal, c.refusal) << c.name << " " << c.payload;
        EXPECT_EQ(r.reason, refused);
        if (*c.reason != '\0') {
            EXPECT_EQ(refused, c.reason);
        }
    }
}

// What the module is sent: a limit through its own poll's scaling (the low
// limit's, not the high one's), with the value its sender gave kept beside
// it; a switch as sb or cb of its bit. The poller runs each on a link that
// does not open, and answers with the command as it was queued.
TEST(GatewayIntake, LimitsAreSentInTheModulesOwnTermsAndSwitchesAsTheirBit) {
    struct Case {
        const char *name;
        const char *payload;
        CommandKind kind;
        double raw;
        std::optional<double> engineering;
        int bit;
    } cases[] = {
        {"hi", R"({"value": 50})", CommandKind::kHi, 25, 50, 0},    // 50 / 2
        {"lo", R"({"value": 300})", CommandKind::kLo, 20, 300, 0},  // (300 - 100) / 10
        {"valve", "ON", CommandKind::kSb, 0, std::nullopt, 5},
        {"valve", "OFF", CommandKind::kCb, 0, std::nullopt, 5},
    };
    for (const Case &c : cases) {
        Fixture f;
        ASSERT_EQ(f.intake.SubmitText(f.For(c.name), c.payload), "") << c.name;
        f.poller->Start();
        for (int waited = 0; waited < 10000; waited += 10) {
            std::lock_guard<std::mutex> lock(f.answers.mutex);
            if (!f.answers.commands.empty()) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        f.poller->Stop();
        ASSERT_EQ(f.answers.commands.size(), 1u) << c.name;
        const Command &sent = f.answers.commands[0];
        EXPECT_EQ(sent.args.kind, c.kind) << c.name;
        EXPECT_DOUBLE_EQ(sent.args.value, c.raw) << c.name;
        EXPECT_EQ(sent.engineering, c.engineering) << c.name;
        EXPECT_EQ(sent.args.bit, c.bit) << c.name;
        EXPECT_TRUE(f.answers.results[0].ran) << c.name;  // a link fault, run
    }
}

TEST(GatewayIntake, GetsNameAPollAndTakeNoArguments) {
    struct Case {
        const char *poll;
        const char *payload;
        Refusal refusal;
    } cases[] = {
        {"rd", "", Refusal::kNone},
        {"rd", "{}", Refusal::kNone},
        {"rd", R"({"value": 1})", Refusal::kArguments},
        {"nope", "", Refusal::kTarget},
    };
    for (const Case &c : cases) {
        Fixture f;
        Command command = f.For("get");
        command.get = c.poll;
        std::string refused = f.intake.SubmitGet(command, c.payload);
        EXPECT_EQ(refused.empty(), c.refusal == Refusal::kNone) << c.poll << " " << c.payload;
        if (c.refusal != Refusal::kNone) {
            ASSERT_EQ(f.answers.results.size(), 1u);
            EXPECT_EQ(f.answers.results[0].refusal, c.refusal) << c.poll << " " << c.payload;
            EXPECT_EQ(f.answers.results[0].command, "get");
        }
    }
}

// A full queue answers busy; a closed intake answers closed, with the
// reason it was closed for, and counts every refusal in the plant state.
TEST(GatewayIntake, AFullQueueIsBusyAndAClosedIntakeSaysWhy) {
    Fixture f;
    for (std::size_t i = 0; i < kMaxQueuedCommands; ++i) {
        ASSERT_EQ(f.intake.SubmitText(f.For("hi"), R"({"value": 1})"), "");
    }
    EXPECT_EQ(f.intake.SubmitText(f.For("hi"), R"({"value": 1})"),
              "too many commands waiting on the link");
    f.intake.Close("the gateway is reloading");
    EXPECT_EQ(f.intake.SubmitText(f.For("hi"), R"({"value": 1})"),
              "the gateway is reloading; not run, send it again");
    ASSERT_EQ(f.answers.results.size(), 2u);
    EXPECT_EQ(f.answers.results[0].refusal, Refusal::kBusy);
    EXPECT_EQ(f.answers.results[1].refusal, Refusal::kClosed);
    PlantSnapshot s = f.plant.Snapshot();
    EXPECT_EQ(s.commands_accepted, kMaxQueuedCommands);
    EXPECT_EQ(s.commands_refused, 2u);
}

}  // namespace
}  // namespace qor::gateway
